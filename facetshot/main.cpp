// facetshot: STL files, raw triangle streams and job batches to PNG thumbnails.
#include "cli.h"
#include "platform.h"

int main(int argc, char** argv) {
  ProgramArgs args;
  platform_program_args(argc, argv, &args);
  return facetshot_main(&args);
}
