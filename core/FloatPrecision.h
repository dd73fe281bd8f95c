// The x87 unit's precision for a stretch of long double arithmetic. Threads created by
// the system start at 53-bit precision, which silently rounds every long double result
// to double precision; the CRT's _controlfp/_control87 only reach the SSE unit on x86_64,
// so the x87 control word is read and written directly on both builds.
#pragma once

#if defined(__i386__) || defined(__x86_64__)
// Sets the precision control to 64-bit mantissas for its lifetime and then restores the
// control word it found; the other control bits stay as they are.
class TExtendedPrecisionScope {
public:
    TExtendedPrecisionScope() : saved_(Read()) {
        constexpr unsigned short PrecisionMask = 0x0300, Precision64 = 0x0300;
        const unsigned short wanted = static_cast<unsigned short>((saved_ & ~PrecisionMask) | Precision64);
        if (wanted != saved_) Write(wanted);
    }
    ~TExtendedPrecisionScope() {
        if (Read() != saved_) Write(saved_);
    }
    TExtendedPrecisionScope(const TExtendedPrecisionScope&) = delete;
    TExtendedPrecisionScope& operator=(const TExtendedPrecisionScope&) = delete;

private:
    static unsigned short Read() {
        unsigned short cw;
        __asm__ __volatile__("fnstcw %0" : "=m"(cw) : : "memory");
        return cw;
    }
    static void Write(unsigned short cw) { __asm__ __volatile__("fldcw %0" : : "m"(cw) : "memory"); }

    unsigned short saved_;
};
#else
class TExtendedPrecisionScope {};
#endif
