/t/x-1.d: src/lib.rs src/missing.rs

src/lib.rs:
