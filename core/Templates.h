// The text machinery every item goes through: option lookup, display templates with
// their format codes, user variables, user functions and the split into display lines.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "ItemTypes.h"
#include "Variant.h"

// The value of the first option whose name equals Name ignoring case, else Default.
Variant GetItemOption(const TItemOptionArray& Options, const std::wstring& Name, const Variant& Default);
// Gives the first option named Name (ignoring case) the value; an absent name changes nothing.
void SetItemOption(TItemOptionArray& Options, const std::wstring& Name, const Variant& Value);

// Fills the placeholders "%1", "%2" ... of a template with the values of one row, the
// highest number first; "%n[code]" shapes the value with FormatDisplayValue. The search
// for a placeholder resumes behind the value just inserted, and a "[" without a "]"
// behind it is plain text, so every template ends whatever the values hold.
std::wstring FillDisplayTemplate(const std::wstring& Template, const TVarArray& Row);

// Text that reads as a number in the user's format (its decimal separator, no
// thousands separators: "2,5" where the separator is a comma) in the evaluator's notation
// ("2.5"); any other text as it is ("10.0.0.1", "6.1.7601"). What a value, a variable or
// an argument inserts into a user-function call ("{{...}}") goes through it, as the
// evaluator reads only ".". A separator that is one of the evaluator's operators (the
// "/" of a Persian format) is never converted: "512/1024" is a division there.
std::wstring ExpressionNumberText(const std::wstring& Text, wchar_t DecimalSeparator);
std::wstring ExpressionNumberText(const std::wstring& Text);
// The text a value inserts into a user-function call: a number kept as a number in the
// evaluator's notation, whatever the locale; a text (a formatted value, a text value)
// through ExpressionNumberText.
std::wstring ExpressionValueText(const Variant& Value);
// Whether position At of Text lies inside a user-function call: after a "{{" and before
// the first "}}" behind it.
bool InsideUserFunctionCall(const std::wstring& Text, std::size_t At);

// Shapes a value by a format code ("2.0d", "1.1b", "ddd", "b:Yes:No", "bit:4:On:Off" ...):
// a text variant, or the value unchanged when no rule applies. Codes are configuration
// text and are interpreted here, never handed to printf-style formatting.
// A bad day or month number, a value that does not convert or a malformed code raises.
Variant FormatDisplayValue(const std::string& Code, const Variant& Value);
// The same for a code as written in the template: the texts of "b:" and "bit:" codes keep
// every script (Greek, Cyrillic, symbols); the other codes are ASCII.
Variant FormatDisplayValue(const std::wstring& Code, const Variant& Value);

// Small integer, integer, single, double, currency, boolean and byte.
bool IsNumericVariant(const Variant& Value);

// Cuts a display text at "|" into Lines (replaced); an empty last part is dropped.
void SplitDisplayLine(const std::wstring& Text, TWideStringArray& Lines);

// One user variable; Value always holds text.
struct TUserVariable {
    std::wstring Name;  // in the case in which it was first set
    Variant Value;
};

// The process-wide user variables, in order of first setting; names are unique under
// exact comparison. Used from the window thread and the collection thread: one lock is
// held for each single read, lookup or update.
class TUserVariableList {
public:
    // Sets the first variable named exactly Name, or appends a new one.
    void Set(const std::wstring& Name, const std::wstring& Value);
    bool Find(const std::wstring& Name, Variant& Value) const;
    std::vector<TUserVariable> Snapshot() const;
    std::size_t Count() const;
    // Program end and tests.
    void Clear();

private:
    mutable std::mutex lock_;
    std::vector<TUserVariable> items_;
};
extern TUserVariableList UserVariables;

// Nesting depth at which the expansion of variables inside variables (and of the passes
// that follow a replacement) stops; a variable that refers to itself ends here.
constexpr int kMaxVariableNesting = 8;

// Replaces "%name%" references by the user variables' values, each value itself expanded
// first (variables, then user functions). A reference is found in the exact case of the
// name; once found, every reference differing only in case is replaced with it.
std::wstring ExpandVariables(const std::wstring& Text);
void SetVariable(const std::wstring& Name, const std::wstring& Value);

// Replaces every call "{{...}}" by its result (CallUserFunction). The search resumes
// behind each result, so a result holding "{{...}}" (an error text, say) is left as it is.
std::wstring ExpandUserFunctions(const std::wstring& Text);
// The result of one call, given the text between the braces: "expr", "format:expr" or
// "name:format:arg1:arg2...". An empty result gives the inner text itself.
std::wstring CallUserFunction(const std::wstring& Inner);
// The text from Pos up to the next ":" (or the rest); Pos moves behind that ":" (or past
// the end).
std::wstring ExtractToken(const std::wstring& Text, std::size_t& Pos);
// Evaluates an inline expression (empty Name: the first argument) or the user function
// Name of the "functions" section with its "%k" placeholders filled; the value is rounded
// to four decimals and shaped by Format when it is not empty. A bad expression or an
// unknown function gives ErrorText; it never raises for them.
std::wstring EvaluateUserFunction(const std::wstring& Name, const std::string& Format,
                                  const std::vector<std::wstring>& Arguments);
