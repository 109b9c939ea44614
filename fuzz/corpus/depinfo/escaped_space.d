/work/target/debug/deps/x-1.d: src/lib.rs src/a\ b.rs src/sub/mod.rs

/work/target/debug/deps/libx-1.rmeta: src/lib.rs src/a\ b.rs src/sub/mod.rs

src/lib.rs:
src/a\ b.rs:
src/sub/mod.rs:

# env-dep:CARGO_PKG_NAME=x
# env-dep:KELV_FIXTURE_BANNER
