#include "SsExpEval.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "FloatPrecision.h"
#include "Utils.h"

const wchar_t* const SsNestingErrorText = L"Expression nested more than 1000 levels deep";

namespace {

// ---------------------------------------------------------------------------------------
// Checked arithmetic. Faults are found by testing operands and results: the maths library
// does not raise floating-point flags reliably.

using Real = long double;

constexpr Real Pi = 3.141592653589793238462643383279502884L;
constexpr Real Int32Min = -2147483648.0L;
constexpr Real Int32Max = 2147483647.0L;
constexpr Real Int64Min = -9223372036854775808.0L;  // -2^63
constexpr Real Int64End = 9223372036854775808.0L;   // 2^63, the first value past the range

[[noreturn]] void RaiseZeroDivide() { throw EssExpressionError(L"Floating point division by zero"); }
[[noreturn]] void RaiseInvalidOp() { throw EssExpressionError(L"Invalid floating point operation"); }
[[noreturn]] void RaiseOverflow() { throw EssExpressionError(L"Floating point overflow"); }

// A result computed from the given operands: NaN from operands that are no NaN is an
// invalid operation (inf - inf, 0 * inf, sin(inf)); infinity from finite operands is an
// overflow. NaN and infinite operands (from named values) propagate as they are.
Real Checked(Real r, Real a, Real b = 0) {
    if (std::isnan(r) && !std::isnan(a) && !std::isnan(b)) RaiseInvalidOp();
    if (std::isinf(r) && std::isfinite(a) && std::isfinite(b)) RaiseOverflow();
    return r;
}

Real Add(Real a, Real b) { return Checked(a + b, a, b); }
Real Sub(Real a, Real b) { return Checked(a - b, a, b); }
Real Mul(Real a, Real b) { return Checked(a * b, a, b); }

Real Divide(Real a, Real b) {
    if (b == 0) {
        if (std::isnan(a) || std::isinf(a)) return a / b;
        if (a == 0) RaiseInvalidOp();  // 0/0
        RaiseZeroDivide();
    }
    return Checked(a / b, a, b);
}

// Integral results that must fit a 32-bit or a 64-bit integer.
Real FitInt32(Real r) {
    if (!(r >= Int32Min && r <= Int32Max)) RaiseInvalidOp();
    return static_cast<Real>(static_cast<std::int32_t>(r));
}

Real FitInt64(Real r) {
    if (!(r >= Int64Min && r < Int64End)) RaiseInvalidOp();
    return static_cast<Real>(static_cast<std::int64_t>(r));
}

std::int32_t TruncInt32(Real x) { return static_cast<std::int32_t>(FitInt32(std::trunc(x))); }

// ---------------------------------------------------------------------------------------
// The functions of the function table.

Real DegToRad(Real x) { return Mul(x, Pi / 180); }
Real RadToDeg(Real x) { return Mul(x, 180 / Pi); }
Real GradToRad(Real x) { return Mul(x, Pi / 200); }
Real RadToGrad(Real x) { return Mul(x, 200 / Pi); }

Real ArcCos(Real x) {
    if (x < -1 || x > 1) RaiseInvalidOp();
    return std::acos(x);
}
Real ArcCosD(Real x) { return RadToDeg(ArcCos(x)); }
Real ArcCosH(Real x) {
    if (x < 1) RaiseInvalidOp();
    return std::acosh(x);
}
Real ArcSin(Real x) {
    if (x < -1 || x > 1) RaiseInvalidOp();
    return std::asin(x);
}
Real ArcSinD(Real x) { return RadToDeg(ArcSin(x)); }
Real ArcSinH(Real x) { return Checked(std::asinh(x), x); }
Real ArcTanH(Real x) {
    if (x < -1 || x > 1) RaiseInvalidOp();
    if (x == -1 || x == 1) RaiseZeroDivide();
    return std::atanh(x);
}
Real CosH(Real x) { return Checked(std::cosh(x), x); }
Real SinH(Real x) { return Checked(std::sinh(x), x); }
Real TanH(Real x) { return Checked(std::tanh(x), x); }

// The x87 unit reduces trigonometric arguments only below 2^63 and reports larger ones as
// out of range; the maths library then answers a wrong value silently, so they are refused.
Real TrigArgument(Real x) {
    if (std::fabs(x) >= 0x1p63L) RaiseInvalidOp();
    return x;
}

Real Tan(Real x) { return Checked(std::tan(TrigArgument(x)), x); }
Real Cotan(Real x) { return Divide(1, Tan(x)); }

// Logarithms: 0 is a pole, negative numbers are outside the domain.
Real LogDomain(Real x) {
    if (x < 0) RaiseInvalidOp();
    if (x == 0) RaiseZeroDivide();
    return x;
}
Real Ln(Real x) { return std::log(LogDomain(x)); }
Real Log10(Real x) { return std::log10(LogDomain(x)); }
Real Log2(Real x) { return std::log2(LogDomain(x)); }

Real Ceil(Real x) { return FitInt32(std::ceil(x)); }
Real Floor(Real x) { return FitInt32(std::floor(x)); }
Real Abs(Real x) { return std::fabs(x); }
Real ArcTan(Real x) { return std::atan(x); }
Real ArcTanD(Real x) { return RadToDeg(ArcTan(x)); }
Real Cos(Real x) { return Checked(std::cos(TrigArgument(x)), x); }
Real CosD(Real x) { return Cos(DegToRad(x)); }
Real Sin(Real x) { return Checked(std::sin(TrigArgument(x)), x); }
Real SinD(Real x) { return Sin(DegToRad(x)); }
Real TanD(Real x) { return Tan(DegToRad(x)); }
Real Exp(Real x) { return Checked(std::exp(x), x); }
Real Frac(Real x) { return Checked(x - std::trunc(x), x); }

// Nearest integer, a half going to the even neighbour, whatever the rounding mode.
// x - floor(x) is exact, and values of 2^63 and beyond are integral already.
Real Round(Real x) {
    Real r = std::floor(x);
    const Real d = x - r;
    if (d > 0.5L || (d == 0.5L && std::fmod(r, 2) != 0)) r += 1;
    return FitInt64(r);
}

Real Sqr(Real x) { return Mul(x, x); }
Real Sqrt(Real x) {
    if (x < 0) RaiseInvalidOp();
    return std::sqrt(x);
}
Real Trunc(Real x) { return FitInt64(std::trunc(x)); }
Real Min(Real x, Real y) { return y < x ? y : x; }
Real Max(Real x, Real y) { return y > x ? y : x; }

// x to an integral power by squaring: about 31 multiplications at most.
Real IntPower(Real x, std::int32_t n) {
    std::uint32_t e = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
    Real r = 1, b = x;
    for (;;) {
        if (e & 1u) r *= b;
        e >>= 1;
        if (e == 0) break;
        b *= b;
    }
    if (n >= 0) return Checked(r, x);
    if (x == 0) RaiseZeroDivide();
    if (r == 0 && !std::isnan(x)) RaiseOverflow();  // |x|^|n| fell below the range: 1/that is above it
    return Checked(1 / r, x);                         // an infinite |x|^|n| gives a (tiny) zero
}

Real Power(Real x, Real y) {
    if (y == 0) return 1;
    if (x == 0 && y > 0) return 0;
    if (std::trunc(y) == y && y >= Int32Min && y <= Int32Max) return IntPower(x, static_cast<std::int32_t>(y));
    return Exp(Mul(y, Ln(x)));
}

// Trunc(x) mod Trunc(y) on 32-bit integers; the remainder takes the sign of Trunc(x).
Real Mod(Real x, Real y) {
    const std::int32_t a = TruncInt32(x);
    const std::int32_t b = TruncInt32(y);
    if (b <= 0) return 0;
    return static_cast<Real>(a % b);
}

struct TssFunction {
    const char* name;
    Real (*unary)(Real);
    Real (*binary)(Real, Real);
};

// The function table; entry 0 is empty and never matches a name.
constexpr TssFunction FunctionTable[40] = {
    {"", nullptr, nullptr},
    {"ArcCos", ArcCos, nullptr},       {"ArcCosD", ArcCosD, nullptr},     {"ArcCosH", ArcCosH, nullptr},
    {"ArcSin", ArcSin, nullptr},       {"ArcSinD", ArcSinD, nullptr},     {"ArcSinH", ArcSinH, nullptr},
    {"ArcTanH", ArcTanH, nullptr},     {"CosH", CosH, nullptr},           {"Cotan", Cotan, nullptr},
    {"Log10", Log10, nullptr},         {"Log2", Log2, nullptr},           {"Ln", Ln, nullptr},
    {"SinH", SinH, nullptr},           {"GradToRad", GradToRad, nullptr}, {"RadToGrad", RadToGrad, nullptr},
    {"Ceil", Ceil, nullptr},           {"Floor", Floor, nullptr},         {"Abs", Abs, nullptr},
    {"ArcTan", ArcTan, nullptr},       {"ArcTanD", ArcTanD, nullptr},     {"Cos", Cos, nullptr},
    {"CosD", CosD, nullptr},           {"Exp", Exp, nullptr},             {"Frac", Frac, nullptr},
    {"Round", Round, nullptr},         {"Sin", Sin, nullptr},             {"SinD", SinD, nullptr},
    {"Sqr", Sqr, nullptr},             {"Sqrt", Sqrt, nullptr},           {"Tan", Tan, nullptr},
    {"TanD", TanD, nullptr},           {"TanH", TanH, nullptr},           {"Trunc", Trunc, nullptr},
    {"DegToRad", DegToRad, nullptr},   {"RadToDeg", RadToDeg, nullptr},   {"Min", nullptr, Min},
    {"Max", nullptr, Max},             {"Power", nullptr, Power},         {"Mod", nullptr, Mod},
};

const TssFunction* FindFunction(std::string_view name) {
    for (int i = 1; i < 40; ++i)
        if (SameTextAscii(name, FunctionTable[i].name)) return &FunctionTable[i];
    return nullptr;
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsLetter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

std::wstring WidenAscii(const char* s) {
    std::wstring w;
    for (; *s; ++s) w += static_cast<wchar_t>(static_cast<unsigned char>(*s));
    return w;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Names and named values

bool IsValidValueName(std::string_view name) {
    return std::all_of(name.begin(), name.end(), [](char c) { return IsDigit(c) || IsLetter(c) || c == '_'; });
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

void TssNamedValues::SetValue(const std::string& name, long double value) {
    if (!IsValidValueName(name)) throw EssBadName(AnsiToWide(name) + L" is not a valid value name");
    // Everything that can fail happens before the list is touched.
    TssNamedValue pair(name, value);
    const int index = IndexOf(name);
    if (index < 0) items_.reserve(items_.size() + 1);
    BeginUpdate();
    if (index >= 0) {
        // The old pair goes and the new one is appended: it moves to the end.
        std::rotate(items_.begin() + index, items_.begin() + index + 1, items_.end());
        items_.back() = std::move(pair);
    } else {
        items_.push_back(std::move(pair));
    }
    EndUpdate();
}

void TssNamedValues::Delete(const std::string& name) {
    const int index = IndexOf(name);
    if (index < 0) throw EssNoSuchName(L"No value with name \"" + AnsiToWide(name) + L"\"");
    items_.erase(items_.begin() + index);
    Changed();
}

const TssNamedValue& TssNamedValues::GetItem(int index) const {
    if (index < 0 || index >= GetCount()) throw EssNoSuchIndex(L"Invalid index " + std::to_wstring(index));
    return items_[static_cast<std::size_t>(index)];
}

long double TssNamedValues::GetValue(int index) const { return GetItem(index).Value; }

int TssNamedValues::GetCount() const { return static_cast<int>(items_.size()); }

int TssNamedValues::IndexOf(std::string_view name) const {
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const std::string& n = items_[i].Name;
        if (caseSensitive_ ? n == name : SameTextAscii(n, name)) return static_cast<int>(i);
    }
    return -1;
}

void TssNamedValues::Clear() {
    items_.clear();
    Changed();
}

void TssNamedValues::Assign(const TssNamedValues& source) {
    if (&source == this) return;
    // Built aside and swapped in, so that a failure leaves the list as it was. The pairs
    // are added one by one under the source's case rule, as SetValue would add them.
    TssNamedValues copy;
    copy.caseSensitive_ = source.caseSensitive_;
    for (const TssNamedValue& v : source.items_) copy.SetValue(v.Name, v.Value);
    BeginUpdate();
    caseSensitive_ = source.caseSensitive_;
    items_.swap(copy.items_);
    EndUpdate();
}

void TssNamedValues::BeginUpdate() { ++updateCount_; }

void TssNamedValues::EndUpdate() {
    if (updateCount_ > 0) --updateCount_;
    if (updateCount_ == 0) Changed();
}

void TssNamedValues::Changed() {
    if (updateCount_ == 0 && OnChange) OnChange(*this);
}

// ---------------------------------------------------------------------------------------
// The parser: recursive descent that computes while it reads.

class TssParser {
public:
    explicit TssParser(TssExpressionEvaluator& owner) : owner_(owner), text_(owner.expression_) {}

    Real Run() {
        pos_ = 0;
        Load();
        const Real r = ParseExpression();
        if (ch_ != EndOfText) Fail(L"incomplete expression");
        return r;
    }

private:
    static constexpr int EndOfText = -1;

    TssExpressionEvaluator& owner_;
    const std::string& text_;
    std::size_t pos_ = 0;
    int ch_ = EndOfText;  // the current character as 0..255, or EndOfText
    int depth_ = 0;       // parentheses and function calls open around the current position

    [[noreturn]] __attribute__((noinline)) static void Fail(const std::wstring& message) {
        throw EssExpressionError(message);
    }

    void Load() { ch_ = pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : EndOfText; }
    void Next() {
        ++pos_;
        Load();
    }
    void SkipBlanks() {
        while (ch_ == ' ' || ch_ == '\t') Next();
    }
    void Require(char c) {
        if (ch_ != static_cast<unsigned char>(c)) FailExpected(c);
        Next();
        SkipBlanks();
    }
    [[noreturn]] __attribute__((noinline)) static void FailExpected(char c) {
        Fail(std::wstring(L"'") + static_cast<wchar_t>(c) + L"' expected");
    }
    // "(" of a group or of a call's arguments; the depth is bounded so that the recursion
    // cannot exhaust the stack.
    void Open() {
        Require('(');
        if (++depth_ > SsMaxNestingDepth) Fail(SsNestingErrorText);
    }
    void Close() {
        Require(')');
        --depth_;
    }

    Real ParseExpression() {
        Real r = 0;  // a leading sign is applied to 0 by the loop below
        if (ch_ != '+' && ch_ != '-') r = ParseTerm();
        while (ch_ == '+' || ch_ == '-') {
            const bool add = ch_ == '+';
            Next();
            SkipBlanks();
            const Real t = ParseTerm();
            r = Apply(add ? '+' : '-', r, t);
        }
        return r;
    }

    Real ParseTerm() {
        Real r = ParseFactor();
        while (ch_ == '*' || ch_ == '/' || ch_ == '^') {
            const int op = ch_;
            Next();
            SkipBlanks();
            const Real f = ParseFactor();
            r = Apply(op, r, f);
        }
        return r;
    }

    // The work beside the recursion runs out of line, which keeps the frames on the
    // recursive path (expression, term, factor, call) small.
    __attribute__((noinline)) static Real Apply(int op, Real a, Real b) {
        switch (op) {
            case '+': return Add(a, b);
            case '-': return Sub(a, b);
            case '*': return Mul(a, b);
            case '/': return Divide(a, b);
            default: return Power(a, b);
        }
    }

    Real ParseFactor() {
        if (ch_ == '(') {
            Open();
            const Real r = ParseExpression();
            Close();
            return r;
        }
        if (!IsLetter(ch_)) return ParseNumber();
        const std::string_view name = ParseName();
        Real value;
        if (ResolveValue(name, value)) return value;
        const TssFunction* f = FindFunction(name);
        if (!f) FailUndefined(name);
        return CallFunction(*f);
    }

    std::string_view ParseName() {
        const std::size_t start = pos_;
        while (IsLetter(ch_) || IsDigit(ch_)) Next();
        const std::string_view name = std::string_view(text_).substr(start, pos_ - start);
        SkipBlanks();
        return name;
    }

    // Digits, then optionally "." and more digits; no exponent, no leading ".".
    __attribute__((noinline)) Real ParseNumber() {
        if (!IsDigit(ch_)) Fail(L"Value expected");
        Real value = 0;
        while (IsDigit(ch_)) {
            value = value * 10 + (ch_ - '0');
            if (std::isinf(value)) RaiseOverflow();
            Next();
        }
        if (ch_ == '.') {
            Next();
            Real place = 1;
            while (IsDigit(ch_)) {
                place *= 10;
                // Digits past the range of the type add nothing representable.
                if (!std::isinf(place)) value += (ch_ - '0') / place;
                Next();
            }
        }
        SkipBlanks();
        return value;
    }

    // A named value, or a value from OnGetValue (asked once per name and evaluation).
    __attribute__((noinline)) bool ResolveValue(std::string_view name, Real& value) {
        const TssNamedValues& named = owner_.namedValues_;
        int index = named.IndexOf(name);
        if (index >= 0) {
            value = named.GetValue(index);
            return true;
        }
        if (!owner_.OnGetValue) return false;
        TssNamedValues& cache = owner_.valueCache_;
        index = cache.IndexOf(name);
        if (index >= 0) {
            value = cache.GetValue(index);
            return true;
        }
        const std::string identifier(name);
        Real v = 0;
        bool undefined = true;
        owner_.OnGetValue(owner_, identifier, v, undefined);
        if (undefined) return false;
        cache.SetValue(identifier, v);
        value = v;
        return true;
    }

    __attribute__((noinline)) Real CallFunction(const TssFunction& f) {
        Open();
        const Real x = ParseExpression();
        Real r;
        if (f.binary) {
            Require(',');
            r = f.binary(x, ParseExpression());
        } else {
            r = f.unary(x);
        }
        Close();
        return r;
    }

    [[noreturn]] __attribute__((noinline)) static void FailUndefined(std::string_view name) {
        Fail(L"Undefined identifier \"" + AnsiToWide(std::string(name)) + L"\"");
    }
};

// ---------------------------------------------------------------------------------------
// The evaluator

TssExpressionEvaluator::TssExpressionEvaluator() = default;

void TssExpressionEvaluator::SetExpression(const std::string& expression) {
    if (expression == expression_) return;
    expression_ = expression;
    Changed();
}

long double TssExpressionEvaluator::Evaluate() {
    TExtendedPrecisionScope precision;
    // Values from OnGetValue live for one evaluation only, whatever its outcome.
    struct TCacheReset {
        TssNamedValues& cache;
        ~TCacheReset() { cache.Clear(); }
    } reset{valueCache_};
    try {
        TssParser parser(*this);
        return parser.Run();
    } catch (const EssExpressionError&) {
        throw;
    } catch (const Exception& e) {
        // Anything else raised while evaluating (a value handler's own error, say) reaches
        // the caller as an expression error with the same message.
        throw EssExpressionError(e.Message());
    } catch (const std::bad_alloc&) {
        throw EssExpressionError(L"Out of memory");
    } catch (const std::exception& e) {
        throw EssExpressionError(WidenAscii(e.what()));
    }
}

long double TssExpressionEvaluator::EvaluateRounded(long double Factor) {
    const long double value = Evaluate();
    TExtendedPrecisionScope precision;
    return std::nearbyint(value * Factor);
}

void TssExpressionEvaluator::SetCaseSensitive(bool value) {
    const bool changed = value != caseSensitive_;
    caseSensitive_ = value;
    namedValues_.SetCaseSensitive(value);
    valueCache_.SetCaseSensitive(value);
    if (changed) Changed();
}

void TssExpressionEvaluator::SetNamedValues(const TssNamedValues& values) {
    namedValues_.Assign(values);
    SetCaseSensitive(values.CaseSensitive());
}

void TssExpressionEvaluator::Loaded() {
    loading_ = false;
    if (!expression_.empty()) Changed();
}

void TssExpressionEvaluator::Changed() {
    if (!loading_ && OnChange) OnChange(*this);
}
