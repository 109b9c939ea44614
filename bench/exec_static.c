/* The cheapest program that stands between a caller and a compiler: a static
   executable that replaces itself with its first argument. The pass-through
   benchmark measures what one such extra exec costs, as the yardstick for
   what the wrapper adds. */
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  execv(argv[1], argv + 1);
  return 127;
}
