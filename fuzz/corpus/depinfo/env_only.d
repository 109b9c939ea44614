# env-dep:A=1
# env-dep:A=2
# env-dep:B
