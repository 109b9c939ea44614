#include "wrapper/entry.h"

int main(int argc, char** argv) {
  kelv::wrapper::main(argc, argv);
}
