#!/usr/bin/env bash
# Runs one program under valgrind memcheck; used as the end-to-end tests'
# runner (ORRERY_RUNNER). Any invalid access or leak makes the run exit with
# 97 and leaves its report in $VALGRIND_LOG_DIR (default /tmp).
exec valgrind --quiet --error-exitcode=97 --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
  --log-file="${VALGRIND_LOG_DIR:-/tmp}/valgrind.%p.log" "$@"
