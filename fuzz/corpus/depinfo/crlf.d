/work/target/debug/build/x-1/build_script_build-1.d: build.rs

build.rs:
