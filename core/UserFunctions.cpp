// User functions: calls written as "{{...}}" in display texts, evaluated with the
// expression evaluator over the lines of the "functions" section.
#include <cmath>
#include <cstdint>

#include "Errors.h"
#include "Includes.h"
#include "Log.h"
#include "SsExpEval.h"
#include "Templates.h"
#include "Utils.h"

std::wstring ExpandUserFunctions(const std::wstring& Text) {
    std::wstring text = Text;
    std::size_t open = text.find(L"{{");
    while (open != std::wstring::npos) {
        const std::size_t close = text.find(L"}}", open + 2);
        // Without a closing "}}" no later call can have one either.
        if (close == std::wstring::npos) break;
        const std::wstring result = CallUserFunction(text.substr(open + 2, close - open - 2));
        text.replace(open, close + 2 - open, result);
        // Resume behind the result, so a result that holds a call is not evaluated again.
        open = text.find(L"{{", open + result.size());
    }
    return text;
}

std::wstring ExtractToken(const std::wstring& Text, std::size_t& Pos) {
    if (Pos >= Text.size()) {
        Pos = Text.size() + 1;
        return {};
    }
    const std::size_t colon = Text.find(L':', Pos);
    if (colon == std::wstring::npos) {
        std::wstring token = Text.substr(Pos);
        Pos = Text.size() + 1;
        return token;
    }
    std::wstring token = Text.substr(Pos, colon - Pos);
    Pos = colon + 1;
    return token;
}

std::wstring CallUserFunction(const std::wstring& Inner) {
    std::size_t colons = 0;
    for (wchar_t c : Inner) colons += c == L':';
    std::wstring name, format;
    std::vector<std::wstring> arguments;
    std::size_t pos = 0;
    if (colons == 0) {
        arguments.push_back(Inner);
    } else if (colons == 1) {
        format = ExtractToken(Inner, pos);
        arguments.push_back(ExtractToken(Inner, pos));
    } else {
        name = ExtractToken(Inner, pos);
        format = ExtractToken(Inner, pos);
        while (pos < Inner.size()) arguments.push_back(ExtractToken(Inner, pos));
    }
    const std::wstring result = EvaluateUserFunction(name, WideToAnsi(format), arguments);
    return result.empty() ? Inner : result;
}

namespace {

// The expression behind "name=" of the first matching line, compared ignoring case.
bool FindUserFunction(const std::wstring& name, std::wstring& expression) {
    const std::wstring wanted = LowerText(name + L"=");
    for (const std::wstring& line : UserFunctions) {
        if (line.size() >= wanted.size() && LowerText(line.substr(0, wanted.size())) == wanted) {
            expression = line.substr(wanted.size());
            return true;
        }
    }
    return false;
}

}  // namespace

std::wstring EvaluateUserFunction(const std::wstring& Name, const std::string& Format,
                                  const std::vector<std::wstring>& Arguments) {
    std::wstring expression;
    if (Name.empty()) {
        if (!Arguments.empty()) expression = Arguments.front();
    } else if (!FindUserFunction(Name, expression) || expression.empty()) {
        return ErrorText;
    }
    // Last argument first, so that "%12" is filled before "%1" could match its beginning;
    // only the first occurrence of each placeholder is filled.
    for (std::size_t k = Arguments.size(); k >= 1; --k) {
        const std::wstring tag = L"%" + std::to_wstring(k);
        const std::size_t at = expression.find(tag);
        // A number in the user's format ("2,5" where the decimal separator is a comma)
        // goes in as the evaluator reads numbers.
        if (at != std::wstring::npos) expression.replace(at, tag.size(), ExpressionNumberText(Arguments[k - 1]));
    }
    Variant value;
    try {
        TssExpressionEvaluator evaluator;
        evaluator.SetExpression(WideToAnsi(expression));
        const long double scaled = evaluator.EvaluateRounded(10000.0L);  // halves to even
        if (!(scaled >= -9223372036854775808.0L && scaled < 9223372036854775808.0L))
            throw EIntOverflow(L"Integer overflow");
        value = Variant::FromCurrencyCount(static_cast<std::int64_t>(scaled));
    } catch (const std::exception&) {
        WriteLog(L"EvaluateUserFunction: " + ErrorText, llError);
        return ErrorText;
    }
    if (!Format.empty()) value = FormatDisplayValue(Format, value);
    return value.ToText();
}
