// packshot: one 3MF package or model XML on stdin to thumbnails or a mesh stream.
#include "cli.h"

int main(int argc, char** argv) {
  return packshot_main(argc, argv);
}
