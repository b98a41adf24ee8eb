// Entry point of the agent; the start-up sequence arrives with the main loop.
#include <cstdio>

int main() {
  puts(" Usage: orv [-d|-i] [-v|-vd] [-p <port>] <cfg_file>");
  return 1;
}
