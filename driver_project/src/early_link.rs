// The early-link code generation backend (to be written).
