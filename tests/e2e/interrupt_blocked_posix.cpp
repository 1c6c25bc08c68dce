// Test wrapper: runs a command with the interrupt signal (SIGURG) blocked, as
// a parent process may start the updater. Threads inherit their creator's
// signal mask, so a thread that does not unblock it cannot be interrupted.
// Usage: zntv-interrupt-blocked <program> [arguments...]
#include <signal.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <program> [arguments...]\n", argv[0]);
    return 2;
  }
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGURG);
  if (sigprocmask(SIG_BLOCK, &interrupt, nullptr) != 0) {
    std::perror("sigprocmask");
    return 1;
  }
  execvp(argv[1], argv + 1);
  std::perror(argv[1]);
  return 1;
}
