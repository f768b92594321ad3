// Runs 32-bit ARM instruction words one at a time on the processor it runs on and tells, for
// each, which signal ended it: SIGILL where the processor does not have the instruction. Under
// `qemu-arm -cpu arm1176` that is what a Pi 1 or a Pi Zero would refuse.
//
//   stdin: the words, little-endian; stdout: one byte a word, the signal number, 0: not tried.
//
// Freestanding, without the C library: Debian's armhf build of it is ARMv7 and would not start
// on that processor. Every word runs alone on a page of breakpoints that lies between two
// inaccessible pages, with every core register 0, so its loads, stores and jumps fault at once
// and none of them can reach this program's memory. Branches with an immediate target and SVC
// are not tried: their encodings mean the same on every ARM processor since ARMv5T, and they
// would leave the page or call the kernel.
#include <asm/sigcontext.h>
#include <asm/signal.h>
#include <asm/unistd.h>
#include <linux/mman.h>
#include <stddef.h>
#include <stdint.h>

// A guard page, the trial page, a guard page. The address is also in the code that jumps to
// the trial page, which may use no register.
#define GUARDED_AREA 0x20000000
#define PAGE_SIZE 4096
#define TEXT(x) #x
#define ADDRESS_TEXT(x) TEXT(x)

namespace {

constexpr unsigned long kGuardedArea = GUARDED_AREA;
constexpr unsigned long kPageSize = PAGE_SIZE;
constexpr unsigned long kWordsPerPage = kPageSize / 4;
constexpr uint32_t kBreakpoint = 0xe1200070;  // BKPT #0
constexpr unsigned long kUserModeArmState = 0x10;
constexpr size_t kMaxWords = 1 << 18;

struct KernelSigaction {
  void (*handler)(int, void*, void*);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask[2];
};

struct Ucontext {
  unsigned long flags;
  Ucontext* link;
  stack_t stack;
  sigcontext mcontext;
};

uint32_t words[kMaxWords];
unsigned char signals[kMaxWords];
unsigned char signal_stack[65536] __attribute__((aligned(8)));

long system_call(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0,
                 long f = 0) {
  register long r0 asm("r0") = a;
  register long r1 asm("r1") = b;
  register long r2 asm("r2") = c;
  register long r3 asm("r3") = d;
  register long r4 asm("r4") = e;
  register long r5 asm("r5") = f;
  register long r7 asm("r7") = number;
  asm volatile("svc #0"
               : "+r"(r0)
               : "r"(r1), "r"(r2), "r"(r3), "r"(r4), "r"(r5), "r"(r7)
               : "memory");
  return r0;
}

[[noreturn]] void exit_with(int status) {
  for (;;) system_call(__NR_exit_group, status);
}

}  // namespace

extern "C" {
unsigned long saved_stack_pointer;
int last_signal;
int run_trial_page();  // returns the signal that ended the word
void word_ended();     // where the signal handler resumes
void return_from_signal();
[[noreturn]] void trial_main();
}

asm(R"(
	.text
	.arm
	.globl	_start
_start:
	mov	fp, #0
	bl	trial_main

	.globl	run_trial_page
run_trial_page:
	push	{r4-r11, lr}
	ldr	r0, =saved_stack_pointer
	str	sp, [r0]
	mov	r0, #0
	mov	r1, #0
	mov	r2, #0
	mov	r3, #0
	mov	r4, #0
	mov	r5, #0
	mov	r6, #0
	mov	r7, #0
	mov	r8, #0
	mov	r9, #0
	mov	r10, #0
	mov	r11, #0
	mov	r12, #0
	mov	sp, #0
	mov	lr, #0
	ldr	pc, =)" ADDRESS_TEXT(GUARDED_AREA + PAGE_SIZE) R"(

	.globl	word_ended
word_ended:
	ldr	r0, =saved_stack_pointer
	ldr	sp, [r0]
	mov	r0, #0
	vmsr	fpscr, r0		@ the word may have changed rounding or vector length
	ldr	r0, =last_signal
	ldr	r0, [r0]
	pop	{r4-r11, pc}

	.globl	return_from_signal
return_from_signal:
	mov	r7, #173		@ rt_sigreturn
	svc	#0
	.ltorg
)");

namespace {

void on_signal(int signal, void*, void* context) {
  last_signal = signal;
  auto* ucontext = static_cast<Ucontext*>(context);
  ucontext->mcontext.arm_pc = reinterpret_cast<unsigned long>(&word_ended);
  ucontext->mcontext.arm_cpsr = kUserModeArmState;  // out of Thumb or big-endian state too
}

void catch_signals() {
  stack_t stack = {signal_stack, 0, sizeof signal_stack};
  if (system_call(__NR_sigaltstack, reinterpret_cast<long>(&stack)) != 0) exit_with(3);
  KernelSigaction action = {
      on_signal, SA_SIGINFO | SA_ONSTACK | SA_RESTORER, return_from_signal, {0, 0}};
  const int caught[] = {SIGILL, SIGTRAP, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};
  for (int signal : caught) {
    if (system_call(__NR_rt_sigaction, signal, reinterpret_cast<long>(&action), 0, 8) != 0)
      exit_with(3);
  }
}

uint32_t* map_trial_page() {
  long area = system_call(__NR_mmap2, kGuardedArea, 3 * kPageSize, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (area != static_cast<long>(kGuardedArea)) exit_with(3);
  if (system_call(__NR_mprotect, kGuardedArea + kPageSize, kPageSize,
                  PROT_READ | PROT_WRITE | PROT_EXEC) != 0)
    exit_with(3);
  return reinterpret_cast<uint32_t*>(kGuardedArea + kPageSize);
}

size_t read_words() {
  auto* bytes = reinterpret_cast<char*>(words);
  size_t total = 0;
  for (;;) {
    long got =
        system_call(__NR_read, 0, reinterpret_cast<long>(bytes + total), sizeof words - total);
    if (got < 0) exit_with(2);
    if (got == 0) break;
    total += got;
    if (total == sizeof words) exit_with(2);  // more words than this program takes
  }
  if (total % 4 != 0) exit_with(2);
  return total / 4;
}

void write_signals(size_t count) {
  for (size_t done = 0; done < count;) {
    long wrote = system_call(__NR_write, 1, reinterpret_cast<long>(signals + done), count - done);
    if (wrote <= 0) exit_with(2);
    done += wrote;
  }
}

bool same_on_every_core(uint32_t word) {
  bool branch = (word & 0x0e000000) == 0x0a000000;  // B, BL, BLX (immediate)
  bool supervisor_call = (word & 0x0f000000) == 0x0f000000 && word >> 28 != 0xf;  // SVC
  return branch || supervisor_call;
}

// The condition decides whether a word runs, not how it decodes: run it unconditionally.
uint32_t always(uint32_t word) {
  return word >> 28 < 0xe ? (word & 0x0fffffff) | 0xe0000000 : word;
}

int try_word(uint32_t* page, uint32_t word) {
  page[0] = always(word);
  for (unsigned long i = 1; i < kWordsPerPage; ++i) page[i] = kBreakpoint;
  system_call(__ARM_NR_cacheflush, reinterpret_cast<long>(page),
              reinterpret_cast<long>(page + kWordsPerPage), 0);
  last_signal = 0;
  return run_trial_page();
}

}  // namespace

extern "C" [[noreturn]] void trial_main() {
  catch_signals();
  uint32_t* page = map_trial_page();
  size_t count = read_words();
  for (size_t i = 0; i < count; ++i)
    signals[i] = same_on_every_core(words[i]) ? 0 : try_word(page, words[i]);
  write_signals(count);
  exit_with(0);
}
