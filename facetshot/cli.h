// facetshot's command line: single file, raw stream on stdin, or batch.
#pragma once

// The whole program; returns the process exit code.
int facetshot_main(int argc, char** argv);
