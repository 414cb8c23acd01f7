#!/usr/bin/env bash
# Fails when a library calls a function that changes files and that
# tests/faults/fault_injection.cpp does not make fail: such a write point
# would escape the write-failure test. Arguments: the static libraries.
set -euo pipefail
# Replaced by the seam; std::filesystem's rename, remove, create_hard_link and
# copy_file reach these same libc calls.
covered=" write pwrite sendfile fsync fdatasync close rename renameat unlink remove link mkdir rmdir fchmod fchown fsetxattr ftruncate mkstemp mkostemp open openat "
# Every libc call that changes files, and the C++ library's ways to do so.
changing="creat creat64 open open64 openat openat64 fopen fopen64 freopen write writev pwrite
  pwrite64 pwritev fwrite fputs fputc fprintf fflush fsync fdatasync sync_file_range rename
  renameat renameat2 link linkat symlink symlinkat unlink unlinkat remove rmdir mkdir mkdirat
  truncate ftruncate fallocate posix_fallocate mkstemp mkstemp64 mkostemp mkostemp64 mkdtemp
  tmpfile close fchmod chmod fchown chown lchown sendfile copy_file_range
  setxattr lsetxattr fsetxattr removexattr lremovexattr fremovexattr"
# Output streams create and close their files through stdio, out of the seam's reach.
cxx='basic_ofstream|basic_fstream|filesystem::(copy|create_directory|create_directories|create_symlink|create_directory_symlink|resize_file|permissions|remove_all|last_write_time)\('
status=0
for library in "$@"; do
  imported=$(nm -u "$library" | awk '{print $2}' | sed 's/@.*//' | sort -u)
  for call in $changing; do
    if grep -qx "$call" <<<"$imported" && [[ "$covered" != *" $call "* ]]; then
      echo "$(basename "$library") calls $call, which the write-failure test does not make fail"
      status=1
    fi
  done
  if nm -uC "$library" | grep -E "$cxx" | grep -q .; then
    echo "$(basename "$library") writes through C++ streams or std::filesystem calls the test does not cover:"
    nm -uC "$library" | grep -E "$cxx" | sed 's/^ *U /  /' | sort -u
    status=1
  fi
done
exit $status
