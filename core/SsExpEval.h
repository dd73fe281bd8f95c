// SsExpEval: a small evaluator of arithmetic expressions written as 8-bit text, computed
// in 80-bit extended precision (long double) while it parses.
//
//   expression := ["+"|"-"] term { ("+"|"-") term }      (a leading sign starts from 0)
//   term       := factor { ("*"|"/"|"^") factor }         ("^" binds like "*", left to right)
//   factor     := "(" expression ")" | name | function "(" args ")" | number
//
// Names resolve to a named value, then to a value supplied by OnGetValue (asked at most once
// per name and evaluation), then to one of the 39 functions of the function table.
// Every error of parsing or evaluation raises EssExpressionError.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Errors.h"

VISTREL_EXCEPTION(EssExpressionError, Exception)  // every error of parsing or evaluation
VISTREL_EXCEPTION(EssBadName, Exception)          // "<name> is not a valid value name"
VISTREL_EXCEPTION(EssNoSuchName, Exception)       // "No value with name "<name>""
VISTREL_EXCEPTION(EssNoSuchIndex, Exception)      // "Invalid index <n>"

// Parentheses and function arguments nested deeper than this fail with EssExpressionError
// (SsNestingErrorText) instead of exhausting the thread's stack. A thread with the default
// stack handles this depth with a wide margin.
constexpr int SsMaxNestingDepth = 1000;  // SsNestingErrorText names this number
extern const wchar_t* const SsNestingErrorText;

// True when every character is a digit, an ASCII letter or "_" (the empty name passes).
bool IsValidValueName(std::string_view name);

// ASCII case-insensitive equality of two 8-bit texts.
bool SameTextAscii(std::string_view a, std::string_view b);

// One named value.
class TssNamedValue {
public:
    TssNamedValue(std::string name, long double value) : Name(std::move(name)), Value(value) {}
    std::string Name;
    long double Value;
};

// An ordered list of named values, in the order of insertion. Failed operations raise
// EssBadName, EssNoSuchName or EssNoSuchIndex and leave the list unchanged.
class TssNamedValues {
public:
    using TNotifyEvent = std::function<void(TssNamedValues& sender)>;

    TssNamedValues() = default;
    TssNamedValues(const TssNamedValues&) = delete;
    TssNamedValues& operator=(const TssNamedValues&) = delete;

    // Replaces the value of that name (it moves to the end) or appends a new pair;
    // OnChange fires once, after the change.
    void SetValue(const std::string& name, long double value);
    // Removes the pair of that name.
    void Delete(const std::string& name);
    // The pair or its value at a 0-based index.
    const TssNamedValue& GetItem(int index) const;
    long double GetValue(int index) const;
    int GetCount() const;
    // Index of the first pair of that name (ignoring ASCII case unless CaseSensitive), or -1.
    int IndexOf(std::string_view name) const;
    void Clear();
    // Copies CaseSensitive and every pair of the source, as one change.
    void Assign(const TssNamedValues& source);

    // An update bracket: OnChange fires once, when the outermost EndUpdate is reached.
    void BeginUpdate();
    void EndUpdate();
    // Fires OnChange unless inside an update bracket.
    void Changed();

    bool CaseSensitive() const { return caseSensitive_; }
    void SetCaseSensitive(bool value) { caseSensitive_ = value; }

    TNotifyEvent OnChange;

private:
    std::vector<TssNamedValue> items_;
    bool caseSensitive_ = false;
    int updateCount_ = 0;
};

class TssExpressionEvaluator {
public:
    using TNotifyEvent = std::function<void(TssExpressionEvaluator& sender)>;
    // Asked for an identifier that is not a named value; set Undefined to false and Value to
    // the identifier's value to define it (Value is 0 and Undefined true on entry).
    using TssGetValueEvent = std::function<void(TssExpressionEvaluator& sender, const std::string& identifier,
                                                long double& value, bool& undefined)>;

    TssExpressionEvaluator();
    TssExpressionEvaluator(const TssExpressionEvaluator&) = delete;
    TssExpressionEvaluator& operator=(const TssExpressionEvaluator&) = delete;

    // 8-bit text; fires OnChange when it differs from the current one.
    void SetExpression(const std::string& expression);
    const std::string& Expression() const { return expression_; }

    // The value of Expression. Runs with the x87 precision control at 64 bits and restores
    // the caller's control word afterwards. Raises EssExpressionError.
    long double Evaluate();
    // The value times Factor, rounded to the nearest integer (halves to even), with the
    // multiplication and the rounding at the same 64-bit precision as the evaluation.
    long double EvaluateRounded(long double Factor);

    bool CaseSensitive() const { return caseSensitive_; }
    // Also sets it on the named values and on the value cache; fires OnChange when it changes.
    void SetCaseSensitive(bool value);

    TssNamedValues& NamedValues() { return namedValues_; }
    const TssNamedValues& NamedValues() const { return namedValues_; }
    // Copies the given list into NamedValues and takes over its CaseSensitive.
    void SetNamedValues(const TssNamedValues& values);

    // The loading bracket of a component being read from a stream: Changed is silent in
    // between, and Loaded fires OnChange when Expression is not empty.
    void BeginLoading() { loading_ = true; }
    void Loaded();
    void Changed();

    TNotifyEvent OnChange;
    TssGetValueEvent OnGetValue;

private:
    friend class TssParser;

    std::string expression_;
    bool caseSensitive_ = false;
    bool loading_ = false;
    TssNamedValues namedValues_;
    TssNamedValues valueCache_;  // values from OnGetValue during the current evaluation
};
