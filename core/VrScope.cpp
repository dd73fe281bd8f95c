#include "VrScope.h"

#include <algorithm>
#include <cstdlib>

#include "Checked.h"

// ---- entries and geometry

std::string ScopeValueEntry(int value) {
    const bool negative = value < 0;
    // Nine digits after the sign keep a negative entry at ten characters.
    std::int64_t magnitude = negative ? -static_cast<std::int64_t>(value) : value;
    if (negative && magnitude > 999999999) magnitude = 999999999;
    std::string digits = std::to_string(magnitude);
    const std::size_t width = negative ? 9 : 10;
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return negative ? "-" + digits : digits;
}

int ScopeValueToY(int value, int minValue, int maxValue, int height) {
    const std::int64_t span = static_cast<std::int64_t>(maxValue) - minValue;
    const std::int64_t percent = span == 0 ? 0 : (static_cast<std::int64_t>(value) - minValue) * 100 / span;
    return static_cast<int>(height - percent * height / 100);
}

int ScopeBaselineY(int height, int baseOffset) {
    // round(height * baseOffset / 100) with halves to even, in exact integer arithmetic.
    const std::int64_t n = static_cast<std::int64_t>(height) * baseOffset;
    std::int64_t q = n / 100, r = n % 100;
    if (r < 0) {
        r += 100;
        --q;
    }
    if (2 * r > 100 || (2 * r == 100 && (q & 1) != 0)) ++q;
    return static_cast<int>(height - q - 1);
}

// ---- TVrChannel

void TVrChannel::Changed() {
    if (owner_) owner_->Changed();
}

void TVrChannel::SetColor(TColor value) {
    if (value == color_) return;
    color_ = value;
    Changed();
}

void TVrChannel::SetWidth(int value) {
    if (value == width_) return;
    width_ = value;
    Changed();
}

void TVrChannel::SetStyle(TGraphStyle value) {
    if (value == style_) return;
    style_ = value;
    Changed();
}

void TVrChannel::SetVisible(bool value) {
    if (value == visible_) return;
    visible_ = value;
    Changed();
}

void TVrChannel::Assign(const TVrChannel& other) {
    if (owner_) owner_->BeginUpdate();
    SetColor(other.color_);
    SetWidth(other.width_);
    SetStyle(other.style_);
    if (owner_) owner_->EndUpdate();
}

void TVrChannel::AddValueToChannel(int value, int bufferSize) {
    values_.insert(0, ScopeValueEntry(value));
    const std::size_t cap = static_cast<std::size_t>(std::max(0, bufferSize)) * 10;
    if (values_.size() >= cap) values_.resize(cap);
}

// ---- TVrChannels

TVrChannel& TVrChannels::Add() {
    items_.push_back(std::make_unique<TVrChannel>(this));
    Changed();
    return *items_.back();
}

TVrChannel& TVrChannels::Items(int index) { return *CheckedAt(items_, index); }

void TVrChannels::Clear() {
    items_.clear();
    Changed();
}

void TVrChannels::Assign(const TVrChannels& other) {
    if (&other == this) return;
    BeginUpdate();
    items_.clear();
    for (const auto& channel : other.items_) Add().Assign(*channel);
    EndUpdate();
}

void TVrChannels::EndUpdate() {
    if (updateCount_ > 0) --updateCount_;
    Changed();
}

void TVrChannels::Changed() {
    if (updateCount_ == 0 && scope_) scope_->UpdateControl();
}

// ---- TVrScope

TVrScope::TVrScope(TWinControl* parent) : TVrGraphicImageControl(parent) {
    SetBounds(0, 0, 249, 137);
    TWinControl::SetColor(clBlack);
    timer_.SetEnabled(false);
    timer_.SetInterval(100);
    timer_.OnTimer = [this](TVrTimer*) { TimerTick(); };
}

TVrScope::~TVrScope() {
    timer_.SetEnabled(false);
    timer_.OnTimer = nullptr;
}

void TVrScope::UpdateTimerState() { timer_.SetEnabled(active_ && autoUpdate_); }

void TVrScope::SetAutoUpdate(bool value) {
    if (value == autoUpdate_) return;
    autoUpdate_ = value;
    UpdateTimerState();
}

void TVrScope::SetActive(bool value) {
    if (value == active_) return;
    active_ = value;
    UpdateTimerState();
}

void TVrScope::SetInterval(int value) { timer_.SetInterval(static_cast<unsigned>(std::max(0, value))); }

void TVrScope::SetThreaded(bool value) {
    timer_.SetTimerType(value ? TVrTimerType::ttThread : TVrTimerType::ttSystem);
}

void TVrScope::SetMaxValue(int value) {
    if (value == maxValue_ || value <= minValue_) return;
    maxValue_ = value;
    ClearData();
    UpdateControl();
}

void TVrScope::SetMinValue(int value) {
    if (value == minValue_ || value >= maxValue_) return;
    minValue_ = value;
    ClearData();
    UpdateControl();
}

void TVrScope::SetDirection(TScrollDirection value) {
    if (value == direction_) return;
    direction_ = value;
    UpdateControl();
}

void TVrScope::SetGridSize(int value) {
    if (value == gridSize_ || value <= 0) return;
    gridSize_ = value;
    UpdateControl();
}

void TVrScope::SetGridLineWidth(int value) {
    if (value == gridLineWidth_) return;
    gridLineWidth_ = value;
    UpdateControl();
}

void TVrScope::SetGridColor(TColor value) {
    if (value == gridColor_) return;
    gridColor_ = value;
    UpdateControl();
}

void TVrScope::SetBaseOffset(int value) {
    if (value == baseOffset_) return;
    baseOffset_ = value;
    UpdateControl();
}

void TVrScope::SetBaseColor(TColor value) {
    if (value == baseColor_) return;
    baseColor_ = value;
    UpdateControl();
}

void TVrScope::SetFrequency(int value) {
    if (value == frequency_) return;
    frequency_ = value;
    UpdateControl();
}

void TVrScope::ClearData() {
    for (int i = 0; i < channels_.Count(); ++i) channels_.Items(i).ClearValues();
}

void TVrScope::AddValue(int channel, int value) {
    const int count = channels_.Count();
    if (count == 0) return;
    channel = std::clamp(channel, 0, count - 1);
    value = std::max(value, minValue_);
    value = std::min(value, maxValue_);
    channels_.Items(channel).AddValueToChannel(value, BufferSize);
    if (!painting_) UpdateControl();
}

void TVrScope::TimerTick() {
    const int f = frequency_;
    if (AnimateGrid) {
        if (direction_ == TScrollDirection::sdLeftToRight) {
            gridOffset_ -= f;
            if (gridOffset_ <= 0) gridOffset_ += gridSize_;
        } else {
            gridOffset_ += f;
            if (gridOffset_ >= gridSize_) gridOffset_ -= gridSize_;
        }
    }
    for (int i = 0; i < channels_.Count(); ++i) {
        int v = minValue_;
        if (OnNeedData) OnNeedData(this, i, v);
        v = std::min(std::max(v, minValue_), maxValue_);
        channels_.Items(i).AddValueToChannel(v, BufferSize);
    }
    if (!painting_) UpdateControl();
}

void TVrScope::DrawGrid() {
    TCanvas& canvas = BufferCanvas();
    const int h = Height(), w = Width();
    baseline_ = ScopeBaselineY(h, baseOffset_);
    canvas.Pen().SetStyle(TPenStyle::Solid);
    canvas.Pen().SetColor(gridColor_);
    canvas.Pen().SetWidth(gridLineWidth_);
    for (std::int64_t x = -static_cast<std::int64_t>(gridOffset_); x <= w; x += gridSize_) {
        canvas.MoveTo(static_cast<int>(x), 0);
        canvas.LineTo(static_cast<int>(x), h);
    }
    // Each run tests the line before it, so the last line drawn lies just outside.
    for (std::int64_t y = baseline_; y >= 0;) {
        y -= gridSize_;
        canvas.MoveTo(0, static_cast<int>(y));
        canvas.LineTo(w, static_cast<int>(y));
    }
    for (std::int64_t y = baseline_; y <= h;) {
        y += gridSize_;
        canvas.MoveTo(0, static_cast<int>(y));
        canvas.LineTo(w, static_cast<int>(y));
    }
    canvas.Pen().SetColor(baseColor_);
    canvas.MoveTo(0, baseline_);
    canvas.LineTo(w, baseline_);
}

void TVrScope::DrawChannels() {
    TCanvas& canvas = BufferCanvas();
    const int h = Height(), w = Width(), f = frequency_;
    for (int i = channels_.Count() - 1; i >= 0; --i) {
        TVrChannel& channel = channels_.Items(i);
        if (!channel.Visible()) continue;
        int x = f + (direction_ == TScrollDirection::sdRightToLeft ? w : 0);
        const std::string& values = channel.Values();
        std::size_t at = 0;  // the next entry of the copy
        canvas.MoveTo(x, baseline_);
        canvas.Pen().SetColor(channel.Color());
        canvas.Pen().SetWidth(channel.Width());
        canvas.Pen().SetStyle(TPenStyle::Solid);
        while (x > 0) {
            if (at + 10 > values.size()) {
                canvas.LineTo(x - f, baseline_);
                break;
            }
            const int v = static_cast<int>(std::strtol(values.substr(at, 10).c_str(), nullptr, 10));
            at += 10;
            const int y = ScopeValueToY(v, minValue_, maxValue_, h);
            canvas.LineTo(x - f, y);
            x = direction_ == TScrollDirection::sdRightToLeft ? x - f : x + f;
            if (channel.Style() == TGraphStyle::gsBar) canvas.LineTo(x - f, y);
        }
    }
}

void TVrScope::RenderBuffer() {
    Buffer().SetSize(std::max(0, Width()), std::max(0, Height()));
    PrepareBuffer();
    DrawGrid();
    DrawChannels();
}

void TVrScope::Paint() {
    painting_ = true;
    try {
        PrepareBuffer();
        DrawGrid();
        DrawChannels();
        TVrGraphicImageControl::Paint();
    } catch (...) {
        painting_ = false;
        throw;
    }
    painting_ = false;
}
