// STAND-IN: a temporary arithmetic evaluator with the interface of the real SsExpEval
// unit, so that the user-function machinery can be built and tested before that unit is
// merged. The real unit replaces this file and SsExpEval.cpp.
// It knows numbers, + - * / and parentheses, with the real unit's lexical rules and
// error texts for what it knows.
#pragma once

#include <string>

#include "Errors.h"

VISTREL_EXCEPTION(EssExpressionError, Exception)

class TssExpressionEvaluator {
public:
    TssExpressionEvaluator();
    void SetExpression(const std::string& expression);  // 8-bit text
    const std::string& Expression() const;
    long double Evaluate();  // raises EssExpressionError with a message

private:
    std::string expression_;
};
