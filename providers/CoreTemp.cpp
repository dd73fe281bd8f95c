// CORETEMP: the highest core temperature that the CoreTemp monitoring program publishes
// in its shared-memory block.
#include <cmath>
#include <cstring>

#include "Checked.h"
#include "Log.h"
#include "SmallItems.h"
#include "SystemInfo.h"
#include "WinHandles.h"

namespace {

// Where the block keeps what is read of it (little-endian). TjMax is one entry per
// processor (package); the temperatures are one entry per core of every processor.
constexpr std::size_t kTjMaxOffset = 1024, kTjMaxEntries = 128;
constexpr std::size_t kCoreCountOffset = 1536, kCpuCountOffset = 1540;
constexpr std::size_t kTempOffset = 1544, kTempEntries = 256;
constexpr std::size_t kFahrenheitOffset = 2684, kDistanceOffset = 2685;

std::uint32_t U32At(const TCoreTempBlock& Block, std::size_t Offset) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | Block.at(Offset + static_cast<std::size_t>(i));
    return v;
}

float FloatAt(const TCoreTempBlock& Block, std::size_t Offset) {
    const std::uint32_t bits = U32At(Block, Offset);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace

bool ReadCoreTempData(TCoreTempBlock& Block) {
    const UniqueHandle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, kCoreTempMappingName));
    if (!mapping.valid()) return false;  // the monitoring program is not running
    // A view larger than the area either fails here or, where the system allows it, reaches
    // only into the area's last page, which reads as zeros: never past the mapped memory.
    const UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, kCoreTempBlockSize));
    if (!view.valid()) return false;
    Block.fill(0);
    std::memcpy(Block.data(), view.get(), kCoreTempBlockSize);
    return true;
}

TCoreTempReading InterpretCoreTemp(const TCoreTempBlock& Block) {
    const std::uint32_t cores = U32At(Block, kCoreCountOffset);
    const std::uint32_t cpus = U32At(Block, kCpuCountOffset);
    const bool distance = Block.at(kDistanceOffset) != 0;
    if (cores == 0 || cpus == 0) throw ERangeError(L"CoreTemp: no processors or cores");
    const std::uint64_t entries = static_cast<std::uint64_t>(cores) * cpus;
    if (entries > kTempEntries) throw ERangeError(L"CoreTemp: too many cores");
    if (distance && cpus > kTjMaxEntries) throw ERangeError(L"CoreTemp: too many processors");
    double highest = 0;
    for (std::uint32_t a = 0; a < cpus; ++a) {
        const double tjMax = distance ? static_cast<double>(U32At(Block, kTjMaxOffset + 4 * std::size_t{a})) : 0;
        for (std::uint32_t d = 0; d < cores; ++d) {
            const std::size_t i = static_cast<std::size_t>(a) * cores + d;
            const double stored = FloatAt(Block, kTempOffset + 4 * i);
            const double temp = distance ? tjMax - stored : stored;
            if (temp > highest) highest = temp;
        }
    }
    const double whole = std::trunc(highest);
    if (!std::isfinite(whole) || whole > 2147483647.0) RaiseIntOverflow();
    TCoreTempReading reading;
    reading.Highest = static_cast<std::int32_t>(whole);
    reading.Unit = Block.at(kFahrenheitOffset) != 0 ? L"F" : L"C";
    return reading;
}

void GetCoreTemp(TItemOptionArray Options, TItemData& Data, std::wstring& Display) {
    Display.clear();
    TCoreTempBlock block{};
    if (ReadCoreTempData(block)) {
        const TCoreTempReading r = InterpretCoreTemp(block);
        StoreSingleRow(Options, Data, Display, {L"temp"}, {Variant(r.Highest), Variant(r.Unit)}, nullptr);
    }
    WriteLog(L"CoreTemp: " + Display, llData);
}
