#include "BarMeter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "Checked.h"
#include "Errors.h"
#include "Utils.h"
#include "Variant.h"

namespace {

bool IsBlank(wchar_t c) { return c <= L' '; }

std::wstring Trimmed(const std::wstring& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Up to eight hex digits as a 32-bit colour value.
bool ReadHexColor(const std::wstring& token, TColor& out) {
    if (token.empty() || token.size() > 8) return false;
    std::uint32_t v = 0;
    for (wchar_t c : token) {
        unsigned d;
        if (c >= L'0' && c <= L'9') d = c - L'0';
        else if (c >= L'a' && c <= L'f') d = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F') d = c - L'A' + 10;
        else return false;
        v = (v << 4) | d;
    }
    out = static_cast<TColor>(v);
    return true;
}

int Channel(TColor c, int shift) { return (static_cast<std::uint32_t>(c) >> shift) & 0xFF; }

// start + ceil(i * (end - start) / span) per channel; a span without width keeps start.
TColor Blend(TColor from, TColor to, int i, int span) {
    if (span <= 0) return from;
    std::uint32_t out = 0;
    for (int shift : {0, 8, 16}) {
        const int a = Channel(from, shift), b = Channel(to, shift);
        const double step = std::ceil(static_cast<double>(i) * (b - a) / span);
        const int v = std::clamp(a + static_cast<int>(step), 0, 255);
        out |= static_cast<std::uint32_t>(v) << shift;
    }
    return static_cast<TColor>(out);
}

int ClampToInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

}  // namespace

TColor ParseColorToken(std::wstring& Text, TColor Default) {
    Text = Trimmed(Text);
    std::wstring token;
    const size_t blank = Text.find(L' ');
    if (blank == std::wstring::npos) {
        token = Text;
        Text.clear();
    } else {
        token = Text.substr(0, blank);
        Text.erase(0, blank + 1);
    }
    TColor c;
    return ReadHexColor(HtmlColorToBgr(token), c) ? c : Default;
}

TBarPlan BarMeterPlan(int Percent, int Level, const std::wstring& ColorsText) {
    TBarPlan p;
    std::wstring text = ColorsText;
    p.Color1 = ParseColorToken(text, kBarGreen);
    p.Color2 = ParseColorToken(text, kBarYellow);
    p.Color3 = ParseColorToken(text, kBarRed);
    std::int64_t level = Level;
    if (level == 0) {
        p.Color2 = p.Color3 = p.Color1;
        level = 99;
    } else if (level < 0) {
        const std::int64_t magnitude = -level;
        if (magnitude >= Percent) {
            p.Color1 = p.Color2 = p.Color3 = kBarRed;
            level = magnitude;
        } else {
            p.Color1 = p.Color2 = p.Color3 = kBarGreen;
        }
    }
    p.Knee = static_cast<int>(std::clamp<std::int64_t>(level, 20, 100));
    return p;
}

std::vector<TColor> GradientBarColumns(const RECT& R, TColor Color1, TColor Color2, TColor Color3, int Percent,
                                       int Knee) {
    std::vector<TColor> columns;
    const std::int64_t w = static_cast<std::int64_t>(R.right) - R.left;
    if (w <= 0) return columns;
    const std::int64_t knee = std::clamp(Knee, 0, 100);
    const std::int64_t fillEnd = R.left + w * Percent / 100;
    const std::int64_t s = knee > 20 ? knee - 20 : knee / 2;
    const std::int64_t last = static_cast<std::int64_t>(R.right) - 1;
    const std::int64_t solidEnd = std::min<std::int64_t>(R.left + w * s / 100, last);
    const std::int64_t kneeX = std::min<std::int64_t>(R.left + w * knee / 100, last);
    columns.reserve(static_cast<size_t>(w));
    // Returns false once the fill has reached its end.
    auto draw = [&](std::int64_t x, TColor c) {
        const auto i = static_cast<size_t>(x - R.left);
        if (i < columns.size()) columns[i] = c;
        else columns.push_back(c);
        return x < fillEnd;
    };
    for (std::int64_t x = R.left; x <= solidEnd; ++x)
        if (!draw(x, Color1)) return columns;
    const int span2 = static_cast<int>(kneeX - solidEnd);
    for (std::int64_t x = solidEnd; x <= kneeX; ++x)
        if (!draw(x, Blend(Color1, Color2, static_cast<int>(x - solidEnd), span2))) return columns;
    const int span3 = static_cast<int>(R.right - kneeX);
    for (std::int64_t x = kneeX; x <= last; ++x)
        if (!draw(x, Blend(Color2, Color3, static_cast<int>(x - kneeX), span3))) return columns;
    return columns;
}

void DrawGradientBar(TCanvas& Canvas, const RECT& R, TColor Color1, TColor Color2, TColor Color3, int Percent,
                     int Knee) {
    const auto columns = GradientBarColumns(R, Color1, Color2, Color3, Percent, Knee);
    for (size_t i = 0; i < columns.size(); ++i) {
        const int x = R.left + static_cast<int>(i);
        Canvas.Pen().SetColor(columns[i]);
        Canvas.MoveTo(x, R.top);
        Canvas.LineTo(x, R.bottom);
    }
}

void DrawBarMeter(TCanvas& Canvas, int X1, int Y1, int X2, int Y2, int Percent, int Level, TColor FrameColor,
                  const std::wstring& ColorsText) {
    const TColor saved = Canvas.Brush().Color();
    Canvas.Pen().SetColor(FrameColor);
    Canvas.Rectangle(X1, Y1, X2, Y2);
    const TBarPlan plan = BarMeterPlan(Percent, Level, ColorsText);
    DrawGradientBar(Canvas, RECT{X1 + 1, Y1 + 1, X2 - 1, Y2 - 1}, plan.Color1, plan.Color2, plan.Color3, Percent,
                    plan.Knee);
    Canvas.Brush().SetColor(saved);
}

void PlaceBarMeter(TCanvas& Canvas, int ClientWidth, int ValueColumnX, int Y, int LineHeight, int XOffset,
                   int Percent, int Level, TColor FrameColor, const std::wstring& ColorsText) {
    if (XOffset >= ClientWidth - 5) return;
    DrawBarMeter(Canvas, ValueColumnX + XOffset, Y, ClientWidth - 5, Y + LineHeight - 3, Percent, Level, FrameColor,
                 ColorsText);
}

std::int64_t VariantToFixed(const Variant& Value) {
    if (Value.Type() == VarType::Currency) return Value.CurrencyCount();
    const long double scaled = Value.ToExtended() * 10000.0L;
    if (std::isnan(scaled)) throw EIntOverflow(L"Value out of range for a chart");
    // A number past the fixed-point range is drawn at its end, like any value past the
    // chart's maximum.
    if (scaled >= 9.2e18L) return std::numeric_limits<std::int64_t>::max();
    if (scaled <= -9.2e18L) return std::numeric_limits<std::int64_t>::min();
    return std::llround(scaled);
}

std::int64_t FixedLog2(std::int64_t Value) {
    if (Value <= 0) return Value;
    return std::llround(std::log2(static_cast<double>(Value) / 10000.0) * 10000.0);
}

int BarPercent(std::int64_t Value, std::int64_t Max) {
    const std::int64_t max = Max / 10000;
    if (max == 0) return 0;
    return ClampToInt(Value / 10000 * 100 / max);
}

std::int64_t ScopeDivisor(std::int64_t ChartMax) {
    constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();
    const std::int64_t units = ChartMax / 10000;  // |units| < 2^50: no overflow below
    const std::int64_t magnitude = units < 0 ? -units : units;
    return magnitude <= kIntMax ? 1 : (magnitude + kIntMax - 1) / kIntMax;
}

int ScopeMaxValue(std::int64_t ChartMax) { return ClampToInt(ChartMax / 10000 / ScopeDivisor(ChartMax)); }

int ScopeValue(std::int64_t Value, std::int64_t ChartMax) {
    return ClampToInt(Value / 10000 / ScopeDivisor(ChartMax));
}
