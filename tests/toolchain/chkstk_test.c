/* Checks chkstk.S where it can run here: built for aarch64 Linux, freestanding, under
 * qemu-aarch64. The fake stack's pages are all inaccessible, so every probe faults; the
 * handler notes the address and skips the load. What Windows relies on is then checked:
 * the probes walk down at most a page at a time from sp, reach the page of the new sp and
 * stay inside the allocation, and sp, x15 and the registers the caller keeps are unchanged.
 * Prints "N passed, N failed" and exits non-zero on any failure. */

typedef unsigned long u64;

enum { PAGE = 4096, STACK_PAGES = 80, MAX_PROBES = 128 };
enum { SYS_sigaltstack = 132, SYS_rt_sigaction = 134, SYS_exit_group = 94,
       SYS_write = 64, SYS_mmap = 222 };

static long sys6(long n, long a, long b, long c, long d, long e, long f) {
  register long x8 __asm__("x8") = n;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  register long x4 __asm__("x4") = e;
  register long x5 __asm__("x5") = f;
  __asm__ volatile("svc #0"
                   : "+r"(x0)
                   : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                   : "memory");
  return x0;
}

static volatile u64 probes[MAX_PROBES];
static volatile int probe_count;

/* aarch64 Linux layouts: siginfo's si_addr at 16; in the ucontext, uc_mcontext starts at
 * 176 (after flags, link, stack and the 128-byte signal mask) and its pc is at 8 + 31*8 + 8
 * past that (after fault_address, x0..x30 and sp). */
static void on_fault(int sig, void *info, void *context) {
  (void)sig;
  u64 addr = *(u64 *)((char *)info + 16);
  u64 *pc = (u64 *)((char *)context + 176 + 8 + 31 * 8 + 8);
  if (probe_count < MAX_PROBES) probes[probe_count] = addr;
  probe_count++;
  *pc += 4; /* every probe is one 4-byte load */
}

/* Calls __chkstk with sp = new_sp and x15 = units; out[0..1] get sp and x15 afterwards. x9
 * and x10 hold the real sp and return address across the call, so a __chkstk that touched
 * them would not come back here. */
void run_chkstk(u64 new_sp, u64 units, u64 *out);
__asm__(".text\n"
        ".globl run_chkstk\n"
        "run_chkstk:\n"
        "  mov x9, sp\n"
        "  mov x10, x30\n"
        "  mov sp, x0\n"
        "  mov x15, x1\n"
        "  bl __chkstk\n"
        "  mov x11, sp\n"
        "  mov sp, x9\n"
        "  stp x11, x15, [x2]\n"
        "  mov x30, x10\n"
        "  ret\n");

static void put(const char *s) {
  long n = 0;
  while (s[n]) n++;
  sys6(SYS_write, 1, (long)s, n, 0, 0, 0);
}

static void put_u64(u64 v) {
  char buf[24];
  int i = 23;
  buf[i] = 0;
  do buf[--i] = (char)('0' + v % 10); while (v /= 10);
  put(buf + i);
}

static int passed, failed;

static void check(u64 top, u64 sp_offset, u64 units) {
  u64 sp = top - sp_offset, size = units * 16, out[2];
  const char *why = 0;
  probe_count = 0;
  run_chkstk(sp, units, out);
  int n = probe_count;
  if (out[0] != sp) why = "sp moved";
  else if (out[1] != units) why = "x15 changed";
  else if (n > MAX_PROBES) why = "too many probes";
  else if (size == 0 && n != 0) why = "probed for a zero-size allocation";
  else if (size != 0 && n == 0) why = "no probe";
  for (int i = 0; !why && i < n; i++) {
    u64 above = i == 0 ? sp : probes[i - 1];
    if (probes[i] >= above) why = "probes not going down";
    else if (above - probes[i] > PAGE) why = "a page skipped";
    else if (probes[i] < sp - size) why = "probe below the allocation";
  }
  if (!why && n > 0 && probes[n - 1] / PAGE != (sp - size) / PAGE)
    why = "the page of the new sp not probed";
  if (why) {
    failed++;
    put("FAIL sp offset ");
    put_u64(sp_offset);
    put(" units ");
    put_u64(units);
    put(": ");
    put(why);
    put("\n");
  } else {
    passed++;
  }
}

void _start(void) {
  static char alt_stack[64 * 1024];
  struct { void *sp; int flags; u64 size; } ss = {alt_stack, 0, sizeof alt_stack};
  sys6(SYS_sigaltstack, (long)&ss, 0, 0, 0, 0, 0);
  /* handler, flags (SA_SIGINFO | SA_ONSTACK | SA_NODEFER), restorer, mask */
  u64 action[4] = {(u64)on_fault, 0x4u | 0x08000000u | 0x40000000u, 0, 0};
  sys6(SYS_rt_sigaction, 11 /* SIGSEGV */, (long)action, 0, 8, 0, 0);

  long base = sys6(SYS_mmap, 0, STACK_PAGES * PAGE, 0 /* PROT_NONE */,
                   0x22 /* MAP_PRIVATE | MAP_ANONYMOUS */, -1, 0);
  if (base < 0 && base > -4096) {
    put("mmap failed\n");
    sys6(SYS_exit_group, 2, 0, 0, 0, 0, 0);
  }
  u64 top = (u64)base + STACK_PAGES * PAGE;
  static const u64 offsets[] = {0, 16, 48, 2048, PAGE - 16};
  static const u64 units[] = {0,    1,        16,       255,  256,     257,
                              511,  512,      513,      1000, 4095,    4096,
                              4097, 64 * 256, 64 * 256 + 1};
  for (unsigned o = 0; o < sizeof offsets / sizeof *offsets; o++)
    for (unsigned u = 0; u < sizeof units / sizeof *units; u++)
      check(top, offsets[o], units[u]);

  put_u64((u64)passed);
  put(" passed, ");
  put_u64((u64)failed);
  put(" failed\n");
  sys6(SYS_exit_group, failed != 0, 0, 0, 0, 0, 0);
}
