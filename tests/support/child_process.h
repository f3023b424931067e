// For tests: a body run in a child process of its own (a fork), for what must not touch this
// process: a change of user or locale, a first use, an end by a signal.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// Runs `body` in a child process and returns its exit status (the body's result), or 128 plus
// the signal that ended it.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testsupport
