// Runs a command inside a throw-away MIT Kerberos realm: makes the realm
// and starts its KDC, points the environment at it (the GSS-API library,
// configuration, keytabs, a memory credential cache), runs the command and
// then stops the KDC by its pid, whatever the command's outcome. Exit
// status: the command's, 1 when it did not exit, 2 when the realm could not
// be made.
// usage: krb5_launch <command> [argument...]
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "krn/snc/snc_krb5_realm.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("usage: krb5_launch <command> [argument...]\n", stderr);
    return 2;
  }
  snckrb5::Realm realm;
  if (!realm.StartForSnc("krb5_launch")) return 2;
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  const bool ended = pid > 0 && waitpid(pid, &status, 0) == pid;
  realm.Stop();
  if (!ended) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
