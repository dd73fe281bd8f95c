// The line chart: a double-buffered, oscilloscope-style control that keeps, for each of
// its channels, the most recent values in a bounded buffer and draws them as a polyline
// scrolling sideways, over a grid and a horizontal baseline. Item charts feed it from
// outside with AddValue; it can also pull values itself on its own timer (OnNeedData).
// Window thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "VrControls.h"
#include "VrThreads.h"

constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clGreen = 0x008000;

enum class TGraphStyle { gsLine, gsBar };
enum class TScrollDirection { sdRightToLeft, sdLeftToRight };

class TVrChannels;

// One line of the chart with its values: fixed-width entries of 10 characters, newest
// first.
class TVrChannel {
public:
    explicit TVrChannel(TVrChannels* owner) : owner_(owner) {}
    TColor Color() const { return color_; }
    void SetColor(TColor value);
    int Width() const { return width_; }
    void SetWidth(int value);
    TGraphStyle Style() const { return style_; }
    void SetStyle(TGraphStyle value);
    bool Visible() const { return visible_; }
    void SetVisible(bool value);
    // Copies colour, width and style inside one update of the collection.
    void Assign(const TVrChannel& other);

    // Puts the value in front; the oldest fall off beyond BufferSize entries.
    void AddValueToChannel(int value, int bufferSize);
    const std::string& Values() const { return values_; }
    void ClearValues() { values_.clear(); }

private:
    void Changed();
    TVrChannels* owner_;
    TColor color_ = clYellow;
    int width_ = 1;
    TGraphStyle style_ = TGraphStyle::gsLine;
    bool visible_ = true;
    std::string values_;
};

class TVrScope;

// The channels of a scope; a change of any channel repaints the scope.
class TVrChannels {
public:
    explicit TVrChannels(TVrScope* scope) : scope_(scope) {}
    TVrChannel& Add();
    int Count() const { return static_cast<int>(items_.size()); }
    TVrChannel& Items(int index);
    void Clear();
    // Takes over colours, widths and styles of another collection (values stay empty).
    void Assign(const TVrChannels& other);
    void BeginUpdate() { ++updateCount_; }
    void EndUpdate();
    void Changed();

private:
    TVrScope* scope_;
    std::vector<std::unique_ptr<TVrChannel>> items_;
    int updateCount_ = 0;
};

// A value's entry: ten digits for values from 0 up, a minus sign and nine digits below 0.
// Values below -999999999 do not fit the width and are stored as -999999999.
std::string ScopeValueEntry(int value);
// The y of a value on a chart of the height: values in whole per cent steps of it.
int ScopeValueToY(int value, int minValue, int maxValue, int height);
// The baseline's y: H - round(H / 100 * BaseOffset) - 1, halves rounded to even.
int ScopeBaselineY(int height, int baseOffset);

class TVrScope : public TVrGraphicImageControl {
public:
    explicit TVrScope(TWinControl* parent);
    ~TVrScope() override;
    std::wstring ClassName() const override { return L"TVrScope"; }

    // Channel clamped to the channels (nothing without any), value clamped to
    // MinValue..MaxValue; repaints unless a paint is running.
    void AddValue(int channel, int value);
    void ClearData();
    // One tick of the chart's own timer: grid moves, one value per channel from OnNeedData.
    void TimerTick();

    TVrChannels& Channels() { return channels_; }
    void SetChannels(const TVrChannels& channels) { channels_.Assign(channels); }
    bool AutoUpdate() const { return autoUpdate_; }
    void SetAutoUpdate(bool value);
    bool Active() const { return active_; }
    void SetActive(bool value);
    int Interval() const { return static_cast<int>(timer_.Interval()); }
    void SetInterval(int value);
    bool Threaded() const { return timer_.TimerType() == TVrTimerType::ttThread; }
    void SetThreaded(bool value);
    bool AnimateGrid = true;
    int MaxValue() const { return maxValue_; }
    // Accepted only above MinValue; a new maximum clears all values.
    void SetMaxValue(int value);
    int MinValue() const { return minValue_; }
    // Accepted only below MaxValue; a new minimum clears all values.
    void SetMinValue(int value);
    TScrollDirection Direction() const { return direction_; }
    void SetDirection(TScrollDirection value);
    int GridSize() const { return gridSize_; }
    // A size of 0 or less is ignored: the grid would never end.
    void SetGridSize(int value);
    int GridLineWidth() const { return gridLineWidth_; }
    void SetGridLineWidth(int value);
    TColor GridColor() const { return gridColor_; }
    void SetGridColor(TColor value);
    int BaseOffset() const { return baseOffset_; }
    void SetBaseOffset(int value);
    TColor BaseColor() const { return baseColor_; }
    void SetBaseColor(TColor value);
    int Frequency() const { return frequency_; }
    void SetFrequency(int value);
    int BufferSize = 999;
    std::function<void(TVrScope* sender, int channel, int& value)> OnNeedData;

    int GridOffset() const { return gridOffset_; }
    TVrTimer& InternalTimer() { return timer_; }
    // Draws the chart into its buffer at its current size (what a paint shows).
    void RenderBuffer();

protected:
    void Paint() override;

private:
    void DrawGrid();
    void DrawChannels();
    void UpdateTimerState();

    TVrChannels channels_{this};
    TVrTimer timer_;
    bool autoUpdate_ = true;
    bool active_ = false;
    int maxValue_ = 100;
    int minValue_ = 0;
    TScrollDirection direction_ = TScrollDirection::sdRightToLeft;
    int gridSize_ = 16;
    int gridLineWidth_ = 1;
    TColor gridColor_ = clGreen;
    int baseOffset_ = 50;
    TColor baseColor_ = clLime;
    int frequency_ = 1;
    int gridOffset_ = 0;
    int baseline_ = 0;
    bool painting_ = false;
};
