#include <cstdio>

int main() {
  std::fprintf(stderr, "vark: the main window is not built yet\n");
  return 1;
}
