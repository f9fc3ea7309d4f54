/* The system-call names as kernel headers before Linux 5.3 give them. */
#include_next <sys/syscall.h>
#undef SYS_pidfd_open
#undef __NR_pidfd_open
