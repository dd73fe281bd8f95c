#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <exception>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "SsExpEval.h"
#include "Utils.h"
#include "WinHandles.h"

namespace {

constexpr long double Pi = 3.141592653589793238462643383279502884L;

const std::wstring ZeroDivide = L"Floating point division by zero";
const std::wstring InvalidOp = L"Invalid floating point operation";
const std::wstring Overflow = L"Floating point overflow";

// ---- x87 control word of the calling thread -------------------------------------------

unsigned short ControlWord() {
    unsigned short cw;
    __asm__ __volatile__("fnstcw %0" : "=m"(cw) : : "memory");
    return cw;
}

void SetControlWord(unsigned short cw) { __asm__ __volatile__("fldcw %0" : : "m"(cw) : "memory"); }

constexpr unsigned short PrecisionBits = 0x0300, Precision53 = 0x0200, Precision64 = 0x0300;

// 1 + 2^-60 - 1 in this thread's own arithmetic: 0 at 53-bit precision, 2^-60 at 64.
long double RawPrecisionProbe() {
    volatile long double one = 1.0L;
    volatile long double tiny = 0x1p-60L;
    volatile long double sum = one + tiny;
    return sum - one;
}

// ---- the table ---------------------------------------------------------------------------

struct ValueRow {
    const char* expression;
    long double expected;
    long double tolerance = 0;  // 0: the value must be exact
};

const ValueRow ValueRows[] = {
    // precedence, grouping, signs
    {"1+2*3", 7}, {"(1+2)*3", 9}, {"2*3^2", 36}, {"2^3^2", 64}, {"8/2/2", 2}, {"-2^2", -4},
    {"-(3)", -3}, {"10-2-3", 5}, {"+5", 5}, {"-5+3", -2}, {"2*(-3)", -6}, {"7", 7},
    // blanks between tokens and at the end, not at the start
    {"1 + 2 ", 3}, {"1\t+\t2", 3}, {"( 1 )", 1}, {"Sqrt (4)", 2}, {"Max( 2 , 3 )", 3},
    // numbers
    {"5.", 5}, {"0.5", 0.5L}, {"12.25", 12.25L}, {"007", 7}, {"(12.5+7.25)/2", 9.875L},
    // names ignore case
    {"max(2,3)", 3}, {"MAX(2,3)", 3}, {"Max(2, 3)", 3}, {"sqrt(4)", 2}, {"SQRT(4)", 2},
    // two-argument functions
    {"Min(2,2)", 2}, {"Min(3,2)", 2}, {"Min(0-1,1)", -1}, {"Max(3,2)", 3},
    {"Mod(7,3)", 1}, {"Mod(-7,3)", -1}, {"Mod(7,0)", 0}, {"Mod(7,0-3)", 0}, {"Mod(7.9,3.9)", 1},
    {"Mod(-7.5,2)", -1}, {"Mod(-2147483648,3)", -2}, {"Mod(2147483647,2)", 1},
    {"Power(2,10)", 1024}, {"Power(-2,3)", -8}, {"Power(2,-2)", 0.25L}, {"Power(0,5)", 0},
    {"Power(5,0)", 1}, {"Power(0,0)", 1}, {"Power(4,0.5)", 2, 1e-18L}, {"Power(2,0.5)", std::sqrt(2.0L), 1e-18L},
    {"Power(1,2000000000)", 1}, {"Power(1,2147483647)", 1}, {"Power(-1,2147483647)", -1},
    {"Power(-1,-2147483648)", 1}, {"Power(1,3000000000)", 1}, {"Power(10,-5000)", 0},
    {"2^(-1)", 0.5L}, {"Power(2,-16000)", 0x1p-16000L}, {"Power(0.5,16000)", 0x1p-16000L},
    // rounding and integer parts
    {"Round(2.5)", 2}, {"Round(3.5)", 4}, {"Round(-2.5)", -2}, {"Round(-3.5)", -4}, {"Round(0.5)", 0},
    {"Round(1.5)", 2}, {"Round(2.4999)", 2}, {"Round(2.5001)", 3}, {"Trunc(-2.7)", -2}, {"Trunc(2.7)", 2},
    {"Floor(-2.5)", -3}, {"Floor(2.9)", 2}, {"Ceil(2.1)", 3}, {"Ceil(-2.1)", -2}, {"Frac(-2.25)", -0.25L},
    {"Frac(2.5)", 0.5L}, {"Abs(0-3)", 3}, {"Abs(3)", 3},
    {"Ceil(2147483647)", 2147483647.0L}, {"Floor(-2147483648)", -2147483648.0L},
    {"Round(-9223372036854775808)", -9223372036854775807.0L - 1},
    // 64-bit mantissas: each of these is wrong at 53-bit precision
    {"9007199254740993-9007199254740992", 1}, {"(1+0.000000000000000001)-1", 1e-18L, 5e-20L},
    {"Round(9007199254740993.5)", 9007199254740994.0L}, {"Trunc(9223372036854775807)", 9223372036854775807.0L},
    // the other functions of the table
    {"SinD(90)", 1, 1e-18L}, {"ArcTanD(1)", 45, 1e-17L}, {"Sqr(3)", 9}, {"Sqrt(16)", 4},
    {"Exp(0)", 1}, {"Exp(1)", 2.718281828459045235360287471352662498L, 1e-18L}, {"Ln(1)", 0},
    {"Log10(1000)", 3, 1e-18L}, {"Log2(8)", 3, 1e-18L}, {"Cos(0)", 1}, {"CosD(180)", -1, 1e-18L},
    {"Sin(0)", 0}, {"Tan(0)", 0}, {"TanD(45)", 1, 1e-18L}, {"TanH(0)", 0}, {"ArcTan(1)", Pi / 4, 1e-18L},
    {"ArcCos(1)", 0}, {"ArcCosD(0)", 90, 1e-17L}, {"ArcSin(1)", Pi / 2, 1e-18L}, {"ArcSinD(1)", 90, 1e-17L},
    {"ArcCosH(1)", 0}, {"ArcSinH(0)", 0}, {"ArcTanH(0)", 0}, {"ArcTanH(0.5)", std::atanh(0.5L), 1e-18L},
    {"CosH(0)", 1}, {"SinH(0)", 0}, {"Cotan(1)", 1 / std::tan(1.0L), 1e-18L},
    {"GradToRad(200)", Pi, 1e-18L}, {"RadToGrad(ArcCos(0-1))", 200, 1e-16L}, {"DegToRad(180)", Pi, 1e-18L},
    {"RadToDeg(ArcTan(1))", 45, 1e-17L},
    // large arguments: the x87 unit reduces them with a 66-bit pi, good to about 1e-15 here
    {"Sin(1000000)", -0.349993502171292952117652486781L, 1e-14L}, {"ArcSinH(100000000000000000000)", std::asinh(1e20L), 1e-15L},
    // underflow is no error
    {"Exp(0-20000)", 0}, {"1/Power(10,4000)/Power(10,4000)", 0},
};

struct ErrorRow {
    std::string expression;
    std::wstring message;
};

const std::vector<ErrorRow>& ErrorRows() {
    static const std::vector<ErrorRow> rows = {
        // parser messages
        {" 1", L"Value expected"}, {"\t1", L"Value expected"}, {"", L"Value expected"},
        {"2*-3", L"Value expected"}, {".5", L"Value expected"}, {"1+", L"Value expected"},
        {"1*", L"Value expected"}, {"2**3", L"Value expected"}, {"(", L"Value expected"},
        {")", L"Value expected"}, {"Sin()", L"Value expected"}, {"_x", L"Value expected"},
        {"\xE4", L"Value expected"}, {"--1", L"Value expected"}, {"2^-1", L"Value expected"},
        {"1e3", L"incomplete expression"}, {"1 2", L"incomplete expression"}, {"1)", L"incomplete expression"},
        {"Sqrt(4))", L"incomplete expression"}, {"1.2.3", L"incomplete expression"}, {"1,2", L"incomplete expression"},
        {std::string("1\0", 2), L"incomplete expression"},
        {"Max(1;2)", L"',' expected"}, {"Max(1)", L"',' expected"}, {"Sqrt 4", L"'(' expected"},
        {"Sin", L"'(' expected"}, {"(1+2", L"')' expected"}, {"Sin(0", L"')' expected"},
        {"Sin(1,2)", L"')' expected"},
        {"x+1", L"Undefined identifier \"x\""}, {"foo(1)", L"Undefined identifier \"foo\""},
        {"x_1", L"Undefined identifier \"x\""}, {"Sin2(0)", L"Undefined identifier \"Sin2\""},
        // division by zero and poles
        {"1/0", ZeroDivide}, {"1/(1-1)", ZeroDivide}, {"Ln(0)", ZeroDivide}, {"Log10(0)", ZeroDivide},
        {"Log2(0)", ZeroDivide}, {"ArcTanH(1)", ZeroDivide}, {"ArcTanH(0-1)", ZeroDivide},
        {"Cotan(0)", ZeroDivide}, {"Power(0,0-1)", ZeroDivide}, {"Power(0,0-0.5)", ZeroDivide},
        // invalid operations
        {"0/0", InvalidOp}, {"Ln(0-1)", InvalidOp}, {"Log10(0-1)", InvalidOp}, {"Log2(0-1)", InvalidOp},
        {"Sqrt(0-1)", InvalidOp}, {"ArcCos(2)", InvalidOp}, {"ArcCosD(0-1.5)", InvalidOp},
        {"ArcSin(0-1.5)", InvalidOp}, {"ArcSinD(2)", InvalidOp}, {"ArcCosH(0.5)", InvalidOp},
        {"ArcTanH(2)", InvalidOp}, {"Sin(9223372036854775808)", InvalidOp}, {"Cos(0-1000000000000000000000)", InvalidOp},
        {"Tan(Power(10,300))", InvalidOp}, {"Cotan(9223372036854775808)", InvalidOp}, {"SinD(Power(10,30))", InvalidOp}, {"Power(0-8,1/3)", InvalidOp}, {"(0-2)^0.5", InvalidOp},
        // integer results that do not fit their width
        {"Ceil(2147483648)", InvalidOp}, {"Ceil(2147483647.5)", InvalidOp}, {"Ceil(3000000000)", InvalidOp},
        {"Floor(0-2147483649)", InvalidOp}, {"Floor(0-2147483648.5)", InvalidOp},
        {"Round(9223372036854775808)", InvalidOp}, {"Round(10000000000000000000)", InvalidOp},
        {"Trunc(9223372036854775808)", InvalidOp}, {"Trunc(0-9223372036854775809)", InvalidOp},
        {"Mod(3000000000,7)", InvalidOp}, {"Mod(7,3000000000)", InvalidOp}, {"Mod(0-2147483649,7)", InvalidOp},
        // results beyond the range of the type
        {"Exp(20000)", Overflow}, {"CosH(20000)", Overflow}, {"SinH(20000)", Overflow},
        {"Power(10,5000)", Overflow}, {"Power(0.1,0-5000)", Overflow}, {"Power(2,100000.5)", Overflow},
        {"Power(2,3000000000)", Overflow}, {"Sqr(Power(10,3000))", Overflow},
        {"Power(10,3000)*Power(10,3000)", Overflow}, {"Power(10,4000)/Power(10,0-4000)", Overflow},
        {"Power(10,4932)+Power(10,4932)", Overflow}, {"0-Power(10,4932)-Power(10,4932)", Overflow},
        {"RadToGrad(Power(10,4932))", Overflow}, {std::string(5000, '9'), Overflow},
    };
    return rows;
}

std::string Narrow(const std::wstring& w) { return WideToUtf8(w); }

bool Matches(long double value, const ValueRow& row) {
    if (row.tolerance == 0) return value == row.expected;
    return std::fabs(value - row.expected) <= row.tolerance;
}

// Runs every row on the calling thread; answers one line per mismatch.
std::vector<std::string> RunTable() {
    std::vector<std::string> failures;
    for (const ValueRow& row : ValueRows) {
        TssExpressionEvaluator e;
        e.SetExpression(row.expression);
        try {
            const long double v = e.Evaluate();
            if (!Matches(v, row)) {
                std::ostringstream s;
                s.precision(21);
                s << row.expression << " gave " << v << ", expected " << row.expected;
                failures.push_back(s.str());
            }
        } catch (const Exception& ex) {
            failures.push_back(std::string(row.expression) + " raised " + ex.ClassName() + " " + Narrow(ex.Message()));
        }
    }
    for (const ErrorRow& row : ErrorRows()) {
        TssExpressionEvaluator e;
        e.SetExpression(row.expression);
        const std::string shown = row.expression.size() > 40 ? row.expression.substr(0, 40) + "..." : row.expression;
        try {
            const long double v = e.Evaluate();
            std::ostringstream s;
            s << shown << " gave " << v << ", expected the error " << Narrow(row.message);
            failures.push_back(s.str());
        } catch (const EssExpressionError& ex) {
            if (ex.Message() != row.message || std::string(ex.ClassName()) != "EssExpressionError")
                failures.push_back(shown + " raised " + ex.ClassName() + " \"" + Narrow(ex.Message()) + "\", expected \"" +
                                   Narrow(row.message) + "\"");
        } catch (const std::exception& ex) {
            failures.push_back(shown + " raised " + Narrow(ExceptionText(ex)));
        }
    }
    return failures;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    return text;
}

struct TThreadContext {
    const std::function<void()>* body;
    std::exception_ptr error;
};

DWORD WINAPI ThreadBody(void* p) {
    auto* c = static_cast<TThreadContext*>(p);
    try {
        (*c->body)();
    } catch (...) {
        c->error = std::current_exception();
    }
    return 0;
}

// Runs body on a thread of its own, created with CreateThread (stack 0: the program's
// default), and waits for it. Exceptions of the body come back to the caller.
void RunOnThread(const std::function<void()>& body, SIZE_T stackReserve = 0) {
    TThreadContext ctx{&body, nullptr};
    UniqueHandle thread(CreateThread(nullptr, stackReserve, ThreadBody, &ctx,
                                     stackReserve ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr));
    ASSERT_TRUE(thread.valid()) << GetLastError();
    ASSERT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);
    if (ctx.error) std::rethrow_exception(ctx.error);
}

long double Eval(const std::string& expression) {
    TssExpressionEvaluator e;
    e.SetExpression(expression);
    return e.Evaluate();
}

std::wstring ErrorOf(TssExpressionEvaluator& e) {
    try {
        e.Evaluate();
    } catch (const EssExpressionError& ex) {
        return ex.Message();
    }
    return L"(no error)";
}

std::wstring ErrorOf(const std::string& expression) {
    TssExpressionEvaluator e;
    e.SetExpression(expression);
    return ErrorOf(e);
}

std::string Nested(int depth, const std::string& open, const std::string& inner) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    return s + inner + std::string(static_cast<std::size_t>(depth), ')');
}

}  // namespace

// ---- the table on the main thread and on a second thread -------------------------------

TEST(ExprTable, MainThread) {
    const auto failures = RunTable();
    EXPECT_TRUE(failures.empty()) << Joined(failures);
}

TEST(ExprTable, SecondThreadAsItStarts) {
    std::vector<std::string> failures;
    unsigned short before = 0, after = 0;
    RunOnThread([&] {
        before = ControlWord();
        failures = RunTable();
        after = ControlWord();
    });
    EXPECT_TRUE(failures.empty()) << Joined(failures);
    EXPECT_EQ(after, before) << "the thread's control word was not restored";
}

TEST(ExprTable, SecondThreadAt53BitPrecision) {
    std::vector<std::string> failures;
    long double probe = -1;
    unsigned short after = 0, forced = 0;
    RunOnThread([&] {
        forced = static_cast<unsigned short>((ControlWord() & ~PrecisionBits) | Precision53);
        SetControlWord(forced);
        probe = RawPrecisionProbe();
        failures = RunTable();
        after = ControlWord();
    });
    EXPECT_EQ(probe, 0.0L) << "the thread's own arithmetic should round to 53 bits";
    EXPECT_TRUE(failures.empty()) << Joined(failures);
    EXPECT_EQ(after, forced);
}

TEST(ExprPrecision, SixtyFourBitsDuringEvaluateAndRestoredAfter) {
    unsigned short forced = 0, during = 0, afterValue = 0, afterError = 0;
    long double probeDuring = 0, value = 0;
    RunOnThread([&] {
        forced = static_cast<unsigned short>((ControlWord() & ~PrecisionBits) | Precision53);
        SetControlWord(forced);
        TssExpressionEvaluator e;
        e.OnGetValue = [&](TssExpressionEvaluator&, const std::string&, long double& v, bool& undefined) {
            during = ControlWord();
            probeDuring = RawPrecisionProbe();
            v = 1;
            undefined = false;
        };
        e.SetExpression("(a+0.000000000000000001)-1");
        value = e.Evaluate();
        afterValue = ControlWord();
        e.SetExpression("a/0");
        (void)ErrorOf(e);
        afterError = ControlWord();
    });
    EXPECT_EQ(during & PrecisionBits, Precision64);
    EXPECT_EQ(probeDuring, 0x1p-60L);
    EXPECT_GT(value, 0.0L);
    EXPECT_EQ(afterValue, forced);
    EXPECT_EQ(afterError, forced);
}

TEST(ExprPrecision, OtherControlBitsKept) {
    const unsigned short saved = ControlWord();
    // Round toward zero and 24-bit precision: Evaluate must change only the precision.
    const unsigned short odd = static_cast<unsigned short>((saved & ~0x0F00) | 0x0C00);
    unsigned short during = 0;
    SetControlWord(odd);
    TssExpressionEvaluator e;
    e.OnGetValue = [&](TssExpressionEvaluator&, const std::string&, long double& v, bool& undefined) {
        during = ControlWord();
        undefined = false;
    };
    e.SetExpression("a");
    e.Evaluate();
    const unsigned short after = ControlWord();
    SetControlWord(saved);
    EXPECT_EQ(during, static_cast<unsigned short>(odd | Precision64));
    EXPECT_EQ(after, odd);
}

// ---- nesting -------------------------------------------------------------------------------

TEST(ExprNesting, LimitOfParenthesesAndCalls) {
    EXPECT_EQ(Eval(Nested(SsMaxNestingDepth, "(", "7")), 7);
    EXPECT_EQ(Eval(Nested(SsMaxNestingDepth, "Max(0,", "5")), 5);
    EXPECT_EQ(Eval(Nested(SsMaxNestingDepth / 2, "Abs((", "0-3") + std::string(SsMaxNestingDepth / 2, ')')), 3);
    EXPECT_EQ(ErrorOf(Nested(SsMaxNestingDepth + 1, "(", "7")), SsNestingErrorText);
    EXPECT_EQ(ErrorOf(Nested(SsMaxNestingDepth + 1, "Sqrt(", "1")), SsNestingErrorText);
    EXPECT_EQ(std::wstring(SsNestingErrorText), L"Expression nested more than 1000 levels deep");
}

TEST(ExprNesting, HundredThousandLevelsFailCleanlyOnASecondThread) {
    std::vector<std::wstring> messages;
    long double after = 0;
    RunOnThread([&] {
        TssExpressionEvaluator e;
        for (const char* open : {"(", "Abs(", "Power(2,"}) {
            e.SetExpression(Nested(100000, open, "1"));
            messages.push_back(ErrorOf(e));
            e.SetExpression(std::string(100000, '(') + std::string(open));  // unbalanced as well
            messages.push_back(ErrorOf(e));
        }
        e.SetExpression("1+1");
        after = e.Evaluate();
    });
    for (const auto& m : messages) EXPECT_EQ(m, SsNestingErrorText);
    EXPECT_EQ(after, 2);
}

TEST(ExprNesting, DeepestNestingFitsInHalfTheDefaultStack) {
    long double a = 0, b = 0;
    RunOnThread(
        [&] {
            a = Eval(Nested(SsMaxNestingDepth, "Max(0,", "5"));
            b = Eval(Nested(SsMaxNestingDepth, "(", "1"));
        },
        1024 * 1024);
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 1);
}

// ---- named values and the value handler ---------------------------------------------------

TEST(ExprNames, NamedValuesAndCaseSensitivity) {
    TssExpressionEvaluator e;
    e.SetExpression("x+1");
    EXPECT_EQ(ErrorOf(e), L"Undefined identifier \"x\"");
    e.NamedValues().SetValue("x", 2);
    EXPECT_EQ(e.Evaluate(), 3);
    e.SetExpression("X+1");
    EXPECT_EQ(e.Evaluate(), 3);
    e.SetCaseSensitive(true);
    EXPECT_TRUE(e.NamedValues().CaseSensitive());
    EXPECT_EQ(ErrorOf(e), L"Undefined identifier \"X\"");
    e.SetExpression("x+1");
    EXPECT_EQ(e.Evaluate(), 3);
}

TEST(ExprNames, ValueHidesFunction) {
    TssExpressionEvaluator e;
    e.NamedValues().SetValue("Sin", 0.5L);
    e.SetExpression("Sin(0)");
    EXPECT_EQ(ErrorOf(e), L"incomplete expression");
    e.SetExpression("Sin*2");
    EXPECT_EQ(e.Evaluate(), 1);
}

TEST(ExprNames, HandlerAskedOncePerNamePerEvaluation) {
    std::vector<std::string> asked;
    bool entryOk = true;
    TssExpressionEvaluator e;
    e.NamedValues().SetValue("n", 100);
    e.OnGetValue = [&](TssExpressionEvaluator& sender, const std::string& id, long double& v, bool& undefined) {
        entryOk = entryOk && &sender == &e && v == 0 && undefined;
        asked.push_back(id);
        if (id == "a") v = 3, undefined = false;
        if (id == "b") v = 4, undefined = false;
    };
    e.SetExpression("a+a*a+b+A+n");
    EXPECT_EQ(e.Evaluate(), 3 + 9 + 4 + 3 + 100);
    EXPECT_EQ(asked, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(e.Evaluate(), 3 + 9 + 4 + 3 + 100);
    EXPECT_EQ(asked, (std::vector<std::string>{"a", "b", "a", "b"}));
    EXPECT_TRUE(entryOk);

    // Case-sensitive: "A" is a name of its own, which the handler leaves undefined.
    asked.clear();
    e.SetCaseSensitive(true);
    EXPECT_EQ(ErrorOf(e), L"Undefined identifier \"A\"");
    EXPECT_EQ(asked, (std::vector<std::string>{"a", "b", "A"}));
}

TEST(ExprNames, HandlerValuesHideFunctionsAndUndefinedFallsThrough) {
    int calls = 0;
    TssExpressionEvaluator e;
    e.OnGetValue = [&](TssExpressionEvaluator&, const std::string& id, long double& v, bool& undefined) {
        ++calls;
        if (id == "Sin") v = 1, undefined = false;
    };
    e.SetExpression("Sin(0)");
    EXPECT_EQ(ErrorOf(e), L"incomplete expression");
    e.SetExpression("Cos(0)+Cos(0)");  // left undefined: the function, asked each time
    EXPECT_EQ(e.Evaluate(), 2);
    e.SetExpression("q");
    EXPECT_EQ(ErrorOf(e), L"Undefined identifier \"q\"");
    EXPECT_EQ(calls, 4);
}

TEST(ExprNames, HandlerErrorsBecomeExpressionErrorsAndCacheIsCleared) {
    int calls = 0;
    bool fail = true;
    TssExpressionEvaluator e;
    e.OnGetValue = [&](TssExpressionEvaluator&, const std::string& id, long double& v, bool& undefined) {
        ++calls;
        if (id == "boom" && fail) throw EConvertError(L"no value for boom");
        if (id == "std") throw std::runtime_error("plain failure");
        v = 2;
        undefined = false;
    };
    e.SetExpression("a+boom");
    EXPECT_EQ(ErrorOf(e), L"no value for boom");
    fail = false;
    EXPECT_EQ(e.Evaluate(), 4);
    EXPECT_EQ(calls, 4);  // a and boom, then both again: nothing kept from the failed run
    e.SetExpression("std");
    EXPECT_EQ(ErrorOf(e), L"plain failure");
}

TEST(ExprNames, ErrorLeavesEvaluatorUsable) {
    TssExpressionEvaluator e;
    e.SetExpression("1/0");
    EXPECT_EQ(ErrorOf(e), ZeroDivide);
    EXPECT_EQ(ErrorOf(e), ZeroDivide);
    e.SetExpression("1/2");
    EXPECT_EQ(e.Evaluate(), 0.5L);
}

// ---- change notification -------------------------------------------------------------------

TEST(ExprEvents, EvaluatorOnChange) {
    int changes = 0;
    TssExpressionEvaluator e;
    e.OnChange = [&](TssExpressionEvaluator& sender) {
        EXPECT_EQ(&sender, &e);
        ++changes;
    };
    e.SetExpression("1");
    e.SetExpression("1");
    EXPECT_EQ(changes, 1);
    e.SetExpression("2");
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(e.Expression(), "2");
    e.SetCaseSensitive(true);
    e.SetCaseSensitive(true);
    EXPECT_EQ(changes, 3);
    e.Evaluate();
    EXPECT_EQ(changes, 3);

    e.BeginLoading();
    e.SetExpression("3");
    e.SetCaseSensitive(false);
    EXPECT_EQ(changes, 3);
    e.Loaded();
    EXPECT_EQ(changes, 4);

    TssExpressionEvaluator empty;
    int emptyChanges = 0;
    empty.OnChange = [&](TssExpressionEvaluator&) { ++emptyChanges; };
    empty.BeginLoading();
    empty.Loaded();
    EXPECT_EQ(emptyChanges, 0);
}

TEST(ExprEvents, SetNamedValuesCopiesAndTakesCaseSensitivity) {
    TssNamedValues source;
    source.SetCaseSensitive(true);
    source.SetValue("a", 1);
    source.SetValue("A", 2);
    TssExpressionEvaluator e;
    e.NamedValues().SetValue("old", 9);
    e.SetNamedValues(source);
    EXPECT_TRUE(e.CaseSensitive());
    ASSERT_EQ(e.NamedValues().GetCount(), 2);
    e.SetExpression("a*10+A");
    EXPECT_EQ(e.Evaluate(), 12);
    source.SetValue("a", 5);  // a copy, not a reference
    EXPECT_EQ(e.Evaluate(), 12);
}

// ---- the named-value list ------------------------------------------------------------------

namespace {

struct TListFixture {
    TssNamedValues list;
    int changes = 0;
    TListFixture() {
        list.SetValue("a", 1);
        list.SetValue("b", 2);
        list.OnChange = [this](TssNamedValues&) { ++changes; };
    }
    std::string Dump() const {
        std::ostringstream s;
        for (int i = 0; i < list.GetCount(); ++i) s << list.GetItem(i).Name << "=" << list.GetValue(i) << ";";
        return s.str();
    }
};

}  // namespace

TEST(ExprList, SetValueAppendsAndMovesReplacedToEnd) {
    TListFixture f;
    f.list.SetValue("c", 3);
    EXPECT_EQ(f.Dump(), "a=1;b=2;c=3;");
    f.list.SetValue("A", 10);  // same name ignoring case: replaced, spelled anew, moved
    EXPECT_EQ(f.Dump(), "b=2;c=3;A=10;");
    EXPECT_EQ(f.changes, 2);
    f.list.SetValue("", 0);
    f.list.SetValue("_9z", 0);
    EXPECT_EQ(f.list.GetCount(), 5);
    EXPECT_EQ(f.list.IndexOf("a"), 2);
    EXPECT_EQ(f.list.IndexOf("_9Z"), 4);
    EXPECT_EQ(f.list.IndexOf("zz"), -1);
    f.list.SetCaseSensitive(true);
    EXPECT_EQ(f.list.IndexOf("a"), -1);
    f.list.SetValue("a", 7);
    EXPECT_EQ(f.list.GetCount(), 6);
}

TEST(ExprList, BadNameRaisesAndLeavesListUnchanged) {
    const struct {
        std::string name;
        std::wstring message;
    } rows[] = {
        {"a b", L"a b is not a valid value name"},
        {"a-b", L"a-b is not a valid value name"},
        {"x.y", L"x.y is not a valid value name"},
        {" ", L"  is not a valid value name"},
        {"caf\xE9", L"caf\u00E9 is not a valid value name"},
    };
    for (const auto& row : rows) {
        TListFixture f;
        try {
            f.list.SetValue(row.name, 5);
            ADD_FAILURE() << row.name << " was accepted";
        } catch (const EssBadName& ex) {
            EXPECT_EQ(ex.Message(), row.message);
            EXPECT_STREQ(ex.ClassName(), "EssBadName");
        }
        EXPECT_EQ(f.Dump(), "a=1;b=2;");
        EXPECT_EQ(f.changes, 0);
    }
    EXPECT_TRUE(IsValidValueName(""));
    EXPECT_FALSE(IsValidValueName("a+"));
}

TEST(ExprList, MissingNameRaisesAndLeavesListUnchanged) {
    TListFixture f;
    try {
        f.list.Delete("zz");
        ADD_FAILURE() << "no error";
    } catch (const EssNoSuchName& ex) {
        EXPECT_EQ(ex.Message(), L"No value with name \"zz\"");
        EXPECT_STREQ(ex.ClassName(), "EssNoSuchName");
    }
    EXPECT_EQ(f.Dump(), "a=1;b=2;");
    EXPECT_EQ(f.changes, 0);
    f.list.Delete("B");
    EXPECT_EQ(f.Dump(), "a=1;");
    EXPECT_EQ(f.changes, 1);
}

TEST(ExprList, BadIndexRaisesAndLeavesListUnchanged) {
    TListFixture f;
    for (int index : {-1, 2, 1000000}) {
        try {
            (void)f.list.GetItem(index);
            ADD_FAILURE() << index << " accepted";
        } catch (const EssNoSuchIndex& ex) {
            EXPECT_EQ(ex.Message(), L"Invalid index " + std::to_wstring(index));
            EXPECT_STREQ(ex.ClassName(), "EssNoSuchIndex");
        }
        EXPECT_THROW((void)f.list.GetValue(index), EssNoSuchIndex);
    }
    EXPECT_EQ(f.Dump(), "a=1;b=2;");
    EXPECT_EQ(f.changes, 0);
}

TEST(ExprList, UpdateBracketClearAndAssign) {
    TListFixture f;
    f.list.BeginUpdate();
    f.list.BeginUpdate();
    f.list.SetValue("c", 3);
    f.list.Delete("a");
    f.list.EndUpdate();
    EXPECT_EQ(f.changes, 0);
    f.list.EndUpdate();
    EXPECT_EQ(f.changes, 1);
    f.list.EndUpdate();  // unbalanced: the counter stays at 0 and Changed fires
    EXPECT_EQ(f.changes, 2);
    f.list.Clear();
    EXPECT_EQ(f.list.GetCount(), 0);
    EXPECT_EQ(f.changes, 3);

    TssNamedValues source;
    source.SetCaseSensitive(true);
    source.SetValue("x", 1);
    source.SetValue("X", 2);
    f.list.SetValue("old", 0);
    f.changes = 0;
    f.list.Assign(source);
    EXPECT_EQ(f.Dump(), "x=1;X=2;");
    EXPECT_TRUE(f.list.CaseSensitive());
    EXPECT_EQ(f.changes, 1);
    f.list.Assign(f.list);
    EXPECT_EQ(f.Dump(), "x=1;X=2;");
    EXPECT_EQ(f.changes, 1);
}
