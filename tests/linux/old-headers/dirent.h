/* <dirent.h> as glibc before 2.30 gives it: no getdents64(). */
#include_next <dirent.h>
#pragma GCC poison getdents64
