// STAND-IN: see SsExpEval.h. Replaced by the real evaluator.
#include "SsExpEval.h"

#include <cmath>

namespace {

class StandInParser {
public:
    explicit StandInParser(const std::string& text) : text_(text) {}

    long double Run() {
        const long double v = Expression();
        if (Current() != 0) throw EssExpressionError(L"incomplete expression");
        return v;
    }

private:
    char Current() const { return pos_ < text_.size() ? text_[pos_] : 0; }
    void Next() {
        ++pos_;
        while (Current() == ' ' || Current() == '\t') ++pos_;
    }

    long double Expression() {
        long double r = (Current() == '+' || Current() == '-') ? 0 : Term();
        while (Current() == '+' || Current() == '-') {
            const char op = Current();
            Next();
            const long double t = Term();
            r = op == '+' ? r + t : r - t;
        }
        return r;
    }

    long double Term() {
        long double r = Factor();
        while (Current() == '*' || Current() == '/') {
            const char op = Current();
            Next();
            const long double f = Factor();
            if (op == '*') {
                r *= f;
            } else {
                if (f == 0) throw EssExpressionError(r == 0 ? L"Invalid floating point operation" : L"Floating point division by zero");
                r /= f;
            }
        }
        return r;
    }

    long double Factor() {
        if (Current() == '(') {
            Next();
            const long double r = Expression();
            if (Current() != ')') throw EssExpressionError(L"')' expected");
            Next();
            return r;
        }
        if (Current() < '0' || Current() > '9') throw EssExpressionError(L"Value expected");
        long double v = 0;
        while (Current() >= '0' && Current() <= '9') v = v * 10 + (text_[pos_++] - '0');
        if (Current() == '.') {
            ++pos_;
            long double place = 1;
            while (Current() >= '0' && Current() <= '9') {
                place *= 10;
                v += (text_[pos_++] - '0') / place;
            }
        }
        while (Current() == ' ' || Current() == '\t') ++pos_;
        return v;
    }

    const std::string& text_;
    std::size_t pos_ = 0;
};

}  // namespace

TssExpressionEvaluator::TssExpressionEvaluator() = default;

void TssExpressionEvaluator::SetExpression(const std::string& expression) { expression_ = expression; }

const std::string& TssExpressionEvaluator::Expression() const { return expression_; }

long double TssExpressionEvaluator::Evaluate() { return StandInParser(expression_).Run(); }
