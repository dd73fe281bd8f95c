#include "SystemProcessList.h"

#include <algorithm>
#include <cstring>

namespace {

// The two record shapes. Pointer-sized fields (the name's buffer, the ids, the sizes) are
// 4 or 8 bytes; the name is a UNICODE_STRING (two 16-bit lengths, then the pointer at its
// natural alignment), so everything after it moves in the 64-bit shape.
constexpr TProcessRecordFields kFields32 = {
    .NextEntryOffset = 0,
    .NumberOfThreads = 4,
    .UserTime = 40,
    .KernelTime = 48,
    .ImageNameLength = 56,
    .ImageNameBuffer = 60,
    .UniqueProcessId = 68,
    .HandleCount = 76,
    .PageFaultCount = 96,
    .WorkingSetSize = 104,
    .PagefileUsage = 124,
    .PrivatePageCount = 132,
    .PointerSize = 4,
    .RecordSize = 184,
};
constexpr TProcessRecordFields kFields64 = {
    .NextEntryOffset = 0,
    .NumberOfThreads = 4,
    .UserTime = 40,
    .KernelTime = 48,
    .ImageNameLength = 56,
    .ImageNameBuffer = 64,
    .UniqueProcessId = 80,
    .HandleCount = 96,
    .PageFaultCount = 128,
    .WorkingSetSize = 144,
    .PagefileUsage = 184,
    .PrivatePageCount = 200,
    .PointerSize = 8,
    .RecordSize = 256,
};

// Records need not be aligned (Wine packs them tightly): every field is copied out.
template <typename T>
T ReadAt(const std::uint8_t* Record, std::size_t Offset) {
    T v;
    std::memcpy(&v, Record + Offset, sizeof v);
    return v;
}

std::uint64_t ReadPointerSized(const std::uint8_t* Record, std::size_t Offset, std::size_t Size) {
    return Size == 8 ? ReadAt<std::uint64_t>(Record, Offset) : ReadAt<std::uint32_t>(Record, Offset);
}

// The record's name when its pointer and length lie within the buffer.
std::wstring NameOf(const std::uint8_t* Bytes, std::size_t Size, std::uint64_t Base, const std::uint8_t* Record,
                    const TProcessRecordFields& F) {
    const std::uint16_t length = ReadAt<std::uint16_t>(Record, F.ImageNameLength);
    const std::uint64_t pointer = ReadPointerSized(Record, F.ImageNameBuffer, F.PointerSize);
    if (length == 0 || length % 2 != 0 || pointer < Base) return {};
    const std::uint64_t at = pointer - Base;
    if (at > Size || length > Size - at) return {};
    std::wstring name(length / 2, L'\0');
    std::memcpy(name.data(), Bytes + at, length);
    // A name is never shorter than its length says, but one written with a zero inside
    // ends there.
    name.resize(std::wcslen(name.c_str()));
    return name;
}

}  // namespace

const TProcessRecordFields& ProcessRecordFieldsOf(TProcessListLayout Layout) {
    return Layout == TProcessListLayout::Bits64 ? kFields64 : kFields32;
}

std::vector<TListedProcess> ParseProcessList(const std::uint8_t* Bytes, std::size_t Size, std::uint64_t Base,
                                             TProcessListLayout Layout) {
    const TProcessRecordFields& f = ProcessRecordFieldsOf(Layout);
    std::vector<TListedProcess> processes;
    if (!Bytes) return processes;
    std::size_t offset = 0;
    while (Size - offset >= f.RecordSize) {
        const std::uint8_t* record = Bytes + offset;
        const std::uint64_t id = ReadPointerSized(record, f.UniqueProcessId, f.PointerSize);
        if (id <= 0xFFFFFFFFu) {
            TListedProcess p;
            p.ProcessId = static_cast<std::uint32_t>(id);
            p.ImageName = NameOf(Bytes, Size, Base, record, f);
            p.UserTime = ReadAt<std::uint64_t>(record, f.UserTime);
            p.KernelTime = ReadAt<std::uint64_t>(record, f.KernelTime);
            p.WorkingSetSize = ReadPointerSized(record, f.WorkingSetSize, f.PointerSize);
            p.PagefileUsage = ReadPointerSized(record, f.PagefileUsage, f.PointerSize);
            p.PrivatePageCount = ReadPointerSized(record, f.PrivatePageCount, f.PointerSize);
            p.PageFaultCount = ReadAt<std::uint32_t>(record, f.PageFaultCount);
            p.HandleCount = ReadAt<std::uint32_t>(record, f.HandleCount);
            p.ThreadCount = ReadAt<std::uint32_t>(record, f.NumberOfThreads);
            processes.push_back(std::move(p));
        }
        const std::uint32_t next = ReadAt<std::uint32_t>(record, f.NextEntryOffset);
        // A next record that would overlap this one's fixed part or begin past the end
        // is no record: the chain ends here.
        if (next == 0 || next < f.RecordSize || next > Size - offset) break;
        offset += next;
    }
    return processes;
}

bool ReadProcessList(TNtQuerySystemInformation Query, std::vector<TListedProcess>& Processes) {
    Processes.clear();
    if (!Query) return false;
    constexpr ULONG kSystemProcessInformation = 5;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    constexpr LONG kBufferTooSmall = static_cast<LONG>(0xC0000023);
    // About 300 processes and 4000 threads fill 400 KB; the list grows between two calls,
    // so a buffer is made larger than the size the call last asked for.
    constexpr std::size_t kFirstBytes = 512 * 1024, kMargin = 64 * 1024, kLastBytes = 256 * 1024 * 1024;
    std::size_t bytes = kFirstBytes;
    for (int attempt = 0; attempt < 8; ++attempt) {
        // 8-byte units: the records' 64-bit fields are aligned as the system writes them.
        std::vector<std::uint64_t> buffer(bytes / sizeof(std::uint64_t));
        ULONG needed = 0;
        const LONG status = Query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(bytes), &needed);
        if (status == 0) {
            const auto* data = reinterpret_cast<const std::uint8_t*>(buffer.data());
            Processes = ParseProcessList(data, bytes, reinterpret_cast<std::uintptr_t>(data), NativeProcessListLayout);
            return true;
        }
        if (status != kInfoLengthMismatch && status != kBufferTooSmall) return false;
        const std::size_t asked = static_cast<std::size_t>(needed) + kMargin;
        bytes = std::max(asked, bytes * 2);
        if (bytes > kLastBytes) return false;
        bytes = (bytes + 7) / 8 * 8;
    }
    return false;
}

TSystemProcessList::TSystemProcessList(std::vector<TListedProcess> Processes) : processes_(std::move(Processes)) {
    std::stable_sort(processes_.begin(), processes_.end(),
                     [](const TListedProcess& a, const TListedProcess& b) { return a.ProcessId < b.ProcessId; });
}

const TListedProcess* TSystemProcessList::Find(std::uint32_t ProcessId) const {
    const auto at = std::lower_bound(processes_.begin(), processes_.end(), ProcessId,
                                     [](const TListedProcess& p, std::uint32_t id) { return p.ProcessId < id; });
    return at != processes_.end() && at->ProcessId == ProcessId ? &*at : nullptr;
}
