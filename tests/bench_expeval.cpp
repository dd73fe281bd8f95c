// Evaluations per second of a typical user function, (%1+%2)/2 with its arguments filled
// in, the way the user-function machinery runs it: a fresh evaluator per evaluation. A
// reused evaluator is measured as well for comparison. Prints; asserts nothing.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SsExpEval.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& freq) {
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(freq.QuadPart);
}

// Runs batches of evaluations until at least a second has passed; answers evaluations per second.
template <typename F>
double Measure(F evaluateOne, long double& sink) {
    LARGE_INTEGER freq, start, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    long long count = 0;
    do {
        for (int i = 0; i < 1000; ++i) sink += evaluateOne(static_cast<std::size_t>(count + i));
        count += 1000;
        QueryPerformanceCounter(&now);
    } while (Seconds(start, now, freq) < 1.0);
    return static_cast<double>(count) / Seconds(start, now, freq);
}

}  // namespace

int main() {
    // The arguments as a display template would fill them: a few different pairs.
    std::vector<std::string> texts;
    const char* pairs[][2] = {{"12.5", "7.25"}, {"1024", "2048"}, {"0.75", "99.5"}, {"33", "66.125"}};
    for (const auto& p : pairs) texts.push_back(std::string("(") + p[0] + "+" + p[1] + ")/2");

    long double sink = 0;
    const double fresh = Measure(
        [&](std::size_t i) {
            TssExpressionEvaluator e;
            e.SetExpression(texts[i % texts.size()]);
            return e.Evaluate();
        },
        sink);

    TssExpressionEvaluator reused;
    const double again = Measure(
        [&](std::size_t i) {
            reused.SetExpression(texts[i % texts.size()]);
            return reused.Evaluate();
        },
        sink);

    std::printf("expression: (%%1+%%2)/2, e.g. %s\n", texts[0].c_str());
    std::printf("fresh evaluator per evaluation: %.0f evaluations/s\n", fresh);
    std::printf("one evaluator reused:           %.0f evaluations/s\n", again);
    std::printf("(checksum %.3f)\n", static_cast<double>(sink));
    return 0;
}
