// A stand-in test program for the run guard's own test: prints each argument after the first as
// one line, then exits with the first argument as its status. With no lines and status 0 it looks
// exactly like a program that Wine could not start; with a summary and a non-zero status, like a
// program that crashed on its way out.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) std::printf("%s\n", argv[i]);
  std::fflush(stdout);
  return argc > 1 ? std::atoi(argv[1]) : 0;
}
