@ A loop of a known number of instructions, to check the board's count of
@ them: 100,000,000 times (the number of arguments, program name included)
@ two instructions, then exit(0). No C library: the process runs these
@ instructions and the kernel's exec and exit, nothing else.
	.arch armv6
	.arm
	.text
	.global _start
_start:
	ldr	r1, [sp]		@ argc
	ldr	r0, =100000000
	mul	r0, r1, r0
1:	subs	r0, r0, #1
	bne	1b
	mov	r0, #0
	mov	r7, #1			@ exit
	svc	#0
