// A hint to the core that the caller is spinning on a word another core
// will change: it saves power and frees the pipeline for a sibling thread.
#pragma once

namespace xkt::host {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace xkt::host
