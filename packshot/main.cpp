// packshot: one 3MF package or model XML on stdin to thumbnails or a mesh stream.
#include "cli.h"
#include "platform.h"

int main(int argc, char** argv) {
  ProgramArgs args;
  platform_program_args(argc, argv, &args);
  return packshot_main(&args);
}
