// A child for the process tests. Each argument is a step, run in order:
//   exit:N         exit with code N
//   raise:SIG      kill itself with signal number SIG
//   sleep:MS       sleep MS milliseconds
//   err:TEXT       write TEXT to standard error (\n for newlines)
//   out:TEXT       write TEXT to standard output
//   ready          write one byte to the descriptor in KELV_DRIVER_READY_FD
//   close-ready    close that descriptor without writing
//   close-stderr   close standard error
//   grandchild:MS  start a grandchild that keeps standard error open for MS ms
//   count-sigint:FILE:MS  count SIGINTs for MS ms, then write the count to FILE
//   env:NAME       write "NAME=value" (or "NAME unset") to standard output
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

volatile sig_atomic_t sigints = 0;
void on_sigint(int) {
  sigints = sigints + 1;
}

std::string unescape(std::string s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

void write_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void sleep_ms(long ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string step = argv[i];
    const size_t colon = step.find(':');
    const std::string verb = step.substr(0, colon);
    const std::string arg = colon == std::string::npos ? "" : step.substr(colon + 1);
    if (verb == "exit") return std::atoi(arg.c_str());
    if (verb == "raise") {
      const int sig = std::atoi(arg.c_str());
      ::signal(sig, SIG_DFL);
      ::raise(sig);
      ::kill(::getpid(), SIGKILL);
    } else if (verb == "sleep") {
      sleep_ms(std::atol(arg.c_str()));
    } else if (verb == "err") {
      write_all(2, unescape(arg));
    } else if (verb == "out") {
      write_all(1, unescape(arg));
    } else if (verb == "ready" || verb == "close-ready") {
      const char* fd = std::getenv("KELV_DRIVER_READY_FD");
      if (!fd) return 90;
      if (verb == "ready") write_all(std::atoi(fd), "\x01");
      ::close(std::atoi(fd));
    } else if (verb == "close-stderr") {
      ::close(2);
    } else if (verb == "grandchild") {
      if (::fork() == 0) {
        sleep_ms(std::atol(arg.c_str()));
        _exit(0);
      }
    } else if (verb == "count-sigint") {
      const size_t c2 = arg.find(':');
      struct sigaction sa = {};
      sa.sa_handler = on_sigint;
      ::sigaction(SIGINT, &sa, nullptr);
      write_all(1, "listening\n");
      sleep_ms(std::atol(arg.substr(c2 + 1).c_str()));
      FILE* f = std::fopen(arg.substr(0, c2).c_str(), "w");
      if (f) {
        std::fprintf(f, "%d", static_cast<int>(sigints));
        std::fclose(f);
      }
    } else if (verb == "env") {
      const char* v = std::getenv(arg.c_str());
      write_all(1, v ? arg + "=" + v + "\n" : arg + " unset\n");
    } else {
      std::fprintf(stderr, "test-child: unknown step %s\n", step.c_str());
      return 99;
    }
  }
  return 0;
}
