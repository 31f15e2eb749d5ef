// ftdiskctl: the administrator's front end.
#include <cstdio>

int main(int argc, char** argv) {
  (void)argv;
  if (argc < 2) {
    std::fprintf(stderr, "usage: ftdiskctl [-m DIR] COMMAND ...\n");
    return 2;
  }
  std::fprintf(stderr, "ftdiskctl: no commands are available yet\n");
  return 2;
}
