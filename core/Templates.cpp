// Option lookup, display templates, display lines and user variables.
#include "Templates.h"

#include <string_view>

#include "Checked.h"
#include "Errors.h"
#include "Log.h"
#include "Utils.h"

TUserVariableList UserVariables;

Variant GetItemOption(const TItemOptionArray& Options, const std::wstring& Name, const Variant& Default) {
    const std::wstring wanted = LowerText(Name);
    for (const TItemOption& option : Options) {
        if (!option.Name.empty() && LowerText(option.Name) == wanted) return option.Value;
    }
    return Default;
}

void SetItemOption(TItemOptionArray& Options, const std::wstring& Name, const Variant& Value) {
    const std::wstring wanted = LowerText(Name);
    for (TItemOption& option : Options) {
        if (!option.Name.empty() && LowerText(option.Name) == wanted) {
            option.Value = Value;
            return;
        }
    }
}

std::wstring FillDisplayTemplate(const std::wstring& Template, const TVarArray& Row) {
    std::wstring text = Template;
    // Highest number first, so that "%12" is filled before "%1" could match its beginning.
    for (long long n = static_cast<long long>(Row.size()); n >= 1; --n) {
        const std::wstring tag = L"%" + std::to_wstring(n);
        std::size_t at = text.find(tag);
        while (at != std::wstring::npos) {
            const std::size_t behind = at + tag.size();
            std::size_t length = tag.size();
            Variant value = CheckedAt(Row, n - 1);
            if (behind < text.size() && text[behind] == L'[') {
                const std::size_t close = text.find(L']', behind + 1);
                // Without a closing "]" the "[" is plain text behind an unformatted value.
                if (close != std::wstring::npos) {
                    const std::wstring code = text.substr(behind + 1, close - behind - 1);
                    value = FormatDisplayValue(code, value);
                    length = close + 1 - at;
                }
            }
            const std::wstring valueText = InsideUserFunctionCall(text, at) ? ExpressionValueText(value) : value.ToText();
            text.replace(at, length, valueText);
            // Resume behind the inserted value: a value holding its own placeholder ends.
            at = text.find(tag, at + valueText.size());
        }
    }
    return text;
}

bool IsNumericVariant(const Variant& Value) {
    switch (Value.Type()) {
    case VarType::SmallInt: case VarType::Integer: case VarType::Single: case VarType::Double:
    case VarType::Currency: case VarType::Boolean: case VarType::Byte:
        return true;
    default:
        return false;
    }
}

void SplitDisplayLine(const std::wstring& Text, TWideStringArray& Lines) {
    Lines.clear();
    try {
        std::size_t from = 0;
        while (true) {
            const std::size_t bar = Text.find(L'|', from);
            if (bar == std::wstring::npos) break;
            Lines.push_back(Text.substr(from, bar - from));
            from = bar + 1;
        }
        if (from < Text.size()) Lines.push_back(Text.substr(from));
    } catch (const std::exception& e) {
        // The lines made so far stay.
        WriteLog(L"SplitDisplayLine: " + ExceptionText(e), llError);
    }
}

void TUserVariableList::Set(const std::wstring& Name, const std::wstring& Value) {
    std::lock_guard guard(lock_);
    for (TUserVariable& v : items_) {
        if (v.Name == Name) {
            v.Value = Variant(Value);
            return;
        }
    }
    items_.push_back(TUserVariable{Name, Variant(Value)});
}

bool TUserVariableList::Find(const std::wstring& Name, Variant& Value) const {
    std::lock_guard guard(lock_);
    for (const TUserVariable& v : items_) {
        if (v.Name == Name) {
            Value = v.Value;
            return true;
        }
    }
    return false;
}

std::vector<TUserVariable> TUserVariableList::Snapshot() const {
    std::lock_guard guard(lock_);
    return items_;
}

std::size_t TUserVariableList::Count() const {
    std::lock_guard guard(lock_);
    return items_.size();
}

void TUserVariableList::Clear() {
    std::lock_guard guard(lock_);
    items_.clear();
}

void SetVariable(const std::wstring& Name, const std::wstring& Value) { UserVariables.Set(Name, Value); }

namespace {

// Bounds on one expansion beside the nesting depth: variables that refer to each other
// could otherwise multiply the work or the text at every level.
constexpr int kMaxNestedExpansions = 256;
constexpr std::size_t kMaxExpandedLength = 1u << 20;

struct ExpansionState {
    const std::vector<TUserVariable>& Vars;
    int NestedLeft = kMaxNestedExpansions;
    bool Stopped = false;  // the text grew past its bound: leave everything as it is
};

// The length of text once every reference (ignoring case) is replaced by value.
std::size_t ReplacedLength(const std::wstring& text, const std::wstring& ref, const std::wstring& value) {
    const std::wstring lowerText = LowerText(text);
    const std::wstring lowerRef = LowerText(ref);
    std::size_t count = 0;
    for (std::size_t at = lowerText.find(lowerRef); at != std::wstring::npos; at = lowerText.find(lowerRef, at + lowerRef.size()))
        ++count;
    return text.size() - count * ref.size() + count * value.size();
}

// Every reference (ignoring case) replaced by Value; inside a user-function call a number
// goes in as the evaluator reads it.
std::wstring ReplaceReferences(const std::wstring& Text, const std::wstring& Ref, const std::wstring& Value) {
    const std::wstring lowerText = LowerText(Text), lowerRef = LowerText(Ref);
    const std::wstring inCall = ExpressionNumberText(Value);
    std::wstring out;
    std::size_t from = 0;
    for (std::size_t at = lowerText.find(lowerRef); at != std::wstring::npos; at = lowerText.find(lowerRef, from)) {
        out.append(Text, from, at - from);
        out += InsideUserFunctionCall(Text, at) ? inCall : Value;
        from = at + Ref.size();
    }
    out.append(Text, from, std::wstring::npos);
    return out;
}

std::wstring ExpandAt(const std::wstring& text, int depth, ExpansionState& state) {
    std::wstring out = text;
    // Each further pass goes one level deeper, so repeated passes end at the same depth.
    for (int level = depth; level < kMaxVariableNesting && !state.Stopped; ++level) {
        bool found = false;
        for (const TUserVariable& var : state.Vars) {
            const std::wstring ref = L"%" + var.Name + L"%";
            if (out.find(ref) == std::wstring::npos) continue;
            found = true;
            std::wstring value = var.Value.ToText();
            if (level + 1 < kMaxVariableNesting && state.NestedLeft > 0) {
                --state.NestedLeft;
                value = ExpandAt(value, level + 1, state);
                if (state.Stopped) return out;
            }
            value = ExpandUserFunctions(value);
            if (ReplacedLength(out, ref, value) > kMaxExpandedLength) {
                state.Stopped = true;
                return out;
            }
            out = ReplaceReferences(out, ref, value);
        }
        if (!found) break;
    }
    return out;
}

}  // namespace

std::wstring ExpandVariables(const std::wstring& Text) {
    // One read of the list; the expansion then works on its own copy.
    const std::vector<TUserVariable> vars = UserVariables.Snapshot();
    if (vars.empty()) return Text;
    ExpansionState state{vars};
    return ExpandAt(Text, 0, state);
}

std::wstring ExpressionNumberText(const std::wstring& Text, wchar_t DecimalSeparator) {
    // "." needs nothing; an operator of the evaluator cannot tell a number from a sum,
    // a difference, a product, a division or a power.
    if (DecimalSeparator == L'.' || std::wstring_view(L"+-*/^").find(DecimalSeparator) != std::wstring_view::npos)
        return Text;
    std::size_t i = 0;
    while (i < Text.size() && (Text[i] == L' ' || Text[i] == L'\t')) ++i;
    if (i < Text.size() && (Text[i] == L'-' || Text[i] == L'+')) ++i;
    std::size_t digits = 0, separators = 0, separatorAt = std::wstring::npos;
    std::size_t end = Text.size();
    while (end > i && (Text[end - 1] == L' ' || Text[end - 1] == L'\t')) --end;
    for (std::size_t k = i; k < end; ++k) {
        const wchar_t c = Text[k];
        if (c >= L'0' && c <= L'9') {
            ++digits;
        } else if (c == DecimalSeparator) {
            ++separators;
            separatorAt = k;
        } else {
            return Text;
        }
    }
    // Digits on both sides of exactly one separator.
    if (separators != 1 || separatorAt == i || separatorAt + 1 == end || digits == 0) return Text;
    std::wstring out = Text;
    out[separatorAt] = L'.';
    return out;
}

std::wstring ExpressionNumberText(const std::wstring& Text) {
    return ExpressionNumberText(Text, LocaleNumberFormat().DecimalSeparator);
}

std::wstring ExpressionValueText(const Variant& Value) {
    switch (Value.Type()) {
    case VarType::Single: case VarType::Double: return FloatToText(Value.ToExtended(), L'.');
    case VarType::Currency: return CurrencyToText(Value.CurrencyCount(), L'.');
    default: return ExpressionNumberText(Value.ToText());
    }
}

bool InsideUserFunctionCall(const std::wstring& Text, std::size_t At) {
    if (At < 2) return false;
    const std::size_t open = Text.rfind(L"{{", At - 2);
    if (open == std::wstring::npos) return false;
    const std::size_t close = Text.find(L"}}", open + 2);
    return close != std::wstring::npos && close >= At;
}
