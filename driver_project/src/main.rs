// kelv-rustc-driver entry point (to be written).
fn main() {}
