// The bar meter: a framed horizontal gauge filled column by column with a solid colour,
// a blend to a second colour up to the knee and a blend to a third colour to the end.
// The fill stops at the percentage. The maths are plain functions; the drawing goes to a
// canvas (the main window's in the display pass).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Canvas.h"

constexpr TColor kBarGreen = 0x008800;
constexpr TColor kBarYellow = 0x008888;
constexpr TColor kBarRed = 0x0000BB;

// Takes the first blank-separated token off Text (trimmed first) and reads it as a
// colour: six hex digits blue-green-red, or "#" and six hex digits red-green-blue.
// Default when the token is empty or not a hexadecimal number.
TColor ParseColorToken(std::wstring& Text, TColor Default);

// The colours and the knee a bar is drawn with, from its level and colour text.
struct TBarPlan {
    TColor Color1 = kBarGreen, Color2 = kBarYellow, Color3 = kBarRed;
    int Knee = 20;
};
// Level 0 draws in the first colour only; a negative level is an alarm: red up to the
// percentage when |Level| >= Percent, else green. The knee is max(level, 20), and never
// beyond 100 so that no span reaches past the bar.
TBarPlan BarMeterPlan(int Percent, int Level, const std::wstring& ColorsText);

// The colour each column of R ends up with, from R.Left on; columns after the fill's
// end are absent. Column x is entry x - R.Left.
std::vector<TColor> GradientBarColumns(const RECT& R, TColor Color1, TColor Color2, TColor Color3, int Percent,
                                       int Knee);

// Draws the columns of GradientBarColumns as vertical lines (bottom row excluded).
void DrawGradientBar(TCanvas& Canvas, const RECT& R, TColor Color1, TColor Color2, TColor Color3, int Percent,
                     int Knee);
// The frame in FrameColor over the current brush, then the fill inside it; the brush
// colour is restored.
void DrawBarMeter(TCanvas& Canvas, int X1, int Y1, int X2, int Y2, int Percent, int Level, TColor FrameColor,
                  const std::wstring& ColorsText);
// A bar on the line at Y from the value column plus XOffset to the right margin; nothing
// when XOffset already reaches the margin.
void PlaceBarMeter(TCanvas& Canvas, int ClientWidth, int ValueColumnX, int Y, int LineHeight, int XOffset,
                   int Percent, int Level, TColor FrameColor, const std::wstring& ColorsText);

// Maths of the values a bar or a line chart shows. Values are fixed point x 10000.
// A value as fixed point: currency as its count, anything else converted to a number
// (text that is no number raises EConvertError); a number past the fixed-point range
// gives the range's end.
class Variant;
std::int64_t VariantToFixed(const Variant& Value);
// round(log2(Value / 10000) * 10000) for a positive value; others unchanged.
std::int64_t FixedLog2(std::int64_t Value);
// trunc(Value / 10000) * 100 div trunc(Max / 10000), clamped to the int range; 0 when
// the maximum truncates to 0 (no maximum given, or below 1).
int BarPercent(std::int64_t Value, std::int64_t Max);

// A line chart holds whole units in ints. A maximum past the int range scales the chart:
// the maximum and every value are divided by ScopeDivisor, the smallest whole number
// that brings the maximum into the int range (1 for every maximum that fits).
std::int64_t ScopeDivisor(std::int64_t ChartMax);
// The chart's top value: trunc(ChartMax / 10000) / ScopeDivisor(ChartMax).
int ScopeMaxValue(std::int64_t ChartMax);
// A fixed-point value on that scale: trunc(Value / 10000) / ScopeDivisor(ChartMax),
// clamped to the int range (the chart clamps it to its maximum).
int ScopeValue(std::int64_t Value, std::int64_t ChartMax);
