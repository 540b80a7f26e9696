/* Exits 0 where this host runs 32-bit x86 Linux code; elsewhere the kernel refuses to
   start it ("Exec format error"). Built by ./dev with Clang, which needs no i386
   package: no C library, just the exit system call. */
void _start(void) { __asm__ volatile("movl $1, %eax\n\txorl %ebx, %ebx\n\tint $0x80"); }
