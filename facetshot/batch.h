// Batch mode: one job per standard-input line, one JSON record per job.
#pragma once

// Reads "input<TAB>output" lines from standard input until its end or a blank
// line, renders each job and writes its record to standard output, flushed at
// once; then writes "BATCH: <n> files processed" to standard error.
void run_batch(int size, int budget);
