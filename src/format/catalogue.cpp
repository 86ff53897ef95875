#include "format/catalogue.h"

namespace pkg {

namespace {

TCatalogueStatus Fail(TCatalogue& cat, TCatalogueStep step, uint64_t at) {
  cat.Step = step;
  cat.FailedAt = at;
  return step == TCatalogueStep::RealLength ? TCatalogueStatus::NotAPackage
                                            : TCatalogueStatus::Damaged;
}

}  // namespace

TCatalogueStatus ReadCatalogue(TByteSource& src, uint32_t realLength, TCatalogue& cat) {
  cat = TCatalogue();
  cat.RealLength = realLength;
  const uint64_t size = src.Size();
  if (realLength == 0 || realLength >= size || size - realLength < kTrailerSize)
    return Fail(cat, TCatalogueStep::RealLength, realLength);
  const uint64_t tailEnd = size - kTrailerSize;

  if (!ReadStampsAndVersions(src, realLength, tailEnd, cat.Stamps, cat.VerTo, cat.VerFrom,
                             cat.VerFromPos))
    return Fail(cat, TCatalogueStep::Versions, tailEnd);
  if (!ReadCatalogueHeaderBefore(src, realLength, cat.VerFromPos, cat.Header, cat.HeaderPos))
    return Fail(cat, TCatalogueStep::Header, cat.VerFromPos);
  // A count whose records would reach into the stub is refused before any entry is
  // made, so a damaged count cannot make millions of them.
  if (!PartRecordsPos(realLength, cat.HeaderPos, cat.Header.PartCount, cat.RecordsPos))
    return Fail(cat, TCatalogueStep::RecordsPlace, cat.HeaderPos);
  cat.Entries.reserve(cat.Header.PartCount);
  for (uint32_t i = 0; i < cat.Header.PartCount; ++i) {
    const uint64_t at = cat.RecordsPos + uint64_t{i} * kPartRecordSize;
    uint8_t raw[kPartRecordSize];
    if (!src.ReadAt(at, raw, sizeof raw)) return Fail(cat, TCatalogueStep::Records, at);
    cat.Entries.emplace_back();
    static_cast<TPartRecord&>(cat.Entries.back()) = DecodePartRecord(raw);
  }

  // Every entry lies in the entry area, between the real length and the first part
  // record, and the entries fill it exactly.
  uint64_t pos = realLength;
  int block = 0, number = 0;
  bool unsupported = false;
  for (TCatalogueEntry& e : cat.Entries) {
    e.Pos = static_cast<uint32_t>(pos);
    TEntryHead head;
    const bool read = ReadEntryHead(src, pos, cat.RecordsPos, head);
    e.Kind = head.Kind;
    if (!read) return Fail(cat, TCatalogueStep::EntryHead, pos);
    ++cat.Walked;
    e.Tag = head.Tag;
    e.HeadSize = head.Size;
    if (head.Kind == kSection) {
      ++block;
      number = 0;
      e.Block = block;
      pos += kSectionEntrySize;
      continue;
    }
    e.Name = head.Name;
    e.Block = block;
    e.Number = ++number;
    if (e.Kind != kSection && !IsFileKind(e.Kind)) unsupported = true;
    if (e.EntryLen < head.Size || e.EntryLen > cat.RecordsPos - pos)
      return Fail(cat, TCatalogueStep::EntryLength, pos);
    pos += e.EntryLen;
  }
  if (pos != cat.RecordsPos) return Fail(cat, TCatalogueStep::EntryArea, pos);
  cat.Step = TCatalogueStep::Done;
  return unsupported ? TCatalogueStatus::Unsupported : TCatalogueStatus::Ok;
}

}  // namespace pkg
