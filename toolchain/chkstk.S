// __chkstk for ARM64 Windows, the one builtin the mingw-w64 CRT needs from the
// compiler runtime (its pseudo-relocation code allocates with alloca). Written here
// so the ARM64 build needs nothing beyond Debian's clang, lld and the mingw-w64 source.
//
// Windows commits a thread's stack one guard page at a time, so code that moves sp
// down by more than a page must first touch every page in between, top to bottom.
// Calling convention: x15 holds the size of the allocation in 16-byte units. Only
// x16, x17 and the flags may change; sp is left alone (the caller moves it).

#define PAGE_SIZE 4096

        .text
        .balign 4
        .globl  __chkstk
#if defined(_WIN32)
        .def    __chkstk
        .scl    2
        .type   32
        .endef
#endif
__chkstk:
        lsl     x16, x15, #4            // bytes still to probe
        mov     x17, sp                 // lowest address probed so far
1:      cmp     x16, #PAGE_SIZE
        b.lo    2f
        sub     x17, x17, #PAGE_SIZE    // one whole page further down
        sub     x16, x16, #PAGE_SIZE
        ldr     xzr, [x17]
        b       1b
2:      cbz     x16, 3f
        sub     x17, x17, x16           // the last partial page: the new sp itself
        ldr     xzr, [x17]
3:      ret
