@OUT_DIR@/../../deps/orchard_model-1.d: src/lib.rs @OUT_DIR@/generated.rs

@OUT_DIR@/../../deps/liborchard_model-1.rlib: src/lib.rs @OUT_DIR@/generated.rs

src/lib.rs:
@OUT_DIR@/generated.rs:

# env-dep:ORCHARD_CATALOG_DIGEST=3b670c89dc9a1f43
# env-dep:ORCHARD_CATALOG_SIZE=6
# env-dep:OUT_DIR=@OUT_DIR@
