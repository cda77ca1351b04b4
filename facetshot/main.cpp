// facetshot: STL files, raw triangle streams and job batches to PNG thumbnails.
#include "cli.h"

int main(int argc, char** argv) {
  return facetshot_main(argc, argv);
}
