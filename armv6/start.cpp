// The program's entry point, in ARM code: what the C library's Scrt1.o does. The dynamic linker
// enters here with argc, argv[], envp[] and the auxiliary vector on the stack and its own
// finaliser in r0. __libc_start_main(main, argc, argv, init, fini, rtld_fini, stack_end) calls
// the program's constructors, then exit(main(...)); since glibc 2.34 it finds the constructors
// and destructors itself, so init and fini are null.
asm(R"(
	.pushsection .text
	.arm
	.align	2
	.globl	_start
	.type	_start, %function
_start:
	.fnstart
	.cantunwind
	mov	fp, #0			@ the outermost frame
	mov	lr, #0
	pop	{r1}			@ argc
	mov	r2, sp			@ argv
	push	{r2}			@ stack_end, 7th argument
	push	{r0}			@ rtld_fini, 6th
	mov	r3, #0			@ init, 4th
	push	{r3}			@ fini, 5th
	ldr	r0, .Lmain_offset
.Lmain_base:
	add	r0, pc, r0		@ main, wherever the program was loaded
	bl	__libc_start_main
	bl	abort
	.align	2
.Lmain_offset:
	.word	main - (.Lmain_base + 8)
	.fnend
	.size	_start, . - _start
	.popsection
)");
