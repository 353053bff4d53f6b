#include "hdf5_structure.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>

namespace quillrun::fuzz {

namespace {

constexpr std::uint64_t kUndefined = ~std::uint64_t{0};
constexpr std::size_t kSearchWindow = 1024;

struct Signature {
  char text[5];
  Kind kind;
};
constexpr std::array<Signature, 20> kSignatures{{
    {"OHDR", Kind::OHDR}, {"OCHK", Kind::OCHK}, {"TREE", Kind::TREE}, {"HEAP", Kind::HEAP}, {"SNOD", Kind::SNOD},
    {"GCOL", Kind::GCOL}, {"BTHD", Kind::BTHD}, {"BTIN", Kind::BTIN}, {"BTLF", Kind::BTLF}, {"FRHP", Kind::FRHP},
    {"FHDB", Kind::FHDB}, {"FHIB", Kind::FHIB}, {"EAHD", Kind::EAHD}, {"EAIB", Kind::EAIB}, {"EASB", Kind::EASB},
    {"EADB", Kind::EADB}, {"FAHD", Kind::FAHD}, {"FADB", Kind::FADB}, {"FSHD", Kind::FSHD}, {"FSSE", Kind::FSSE},
}};

constexpr std::uint32_t rot(std::uint32_t x, int k) noexcept { return (x << k) | (x >> (32 - k)); }

unsigned log2_floor(std::uint64_t n) noexcept {
  unsigned r = 0;
  while (n >>= 1) ++r;
  return r;
}

// The bytes HDF5 takes to encode numbers up to limit (H5VM_limit_enc_size).
unsigned limit_enc_size(std::uint64_t limit) noexcept { return log2_floor(limit) / 8 + 1; }

class Parser {
 public:
  explicit Parser(std::span<const std::uint8_t> image) : image_(image) {}

  Layout run() {
    find_superblock();
    scan_signatures();
    scan_v1_headers();
    // Object headers first: the continuation messages they hold say where
    // chunks end and add the version 1 continuation blocks.
    for (std::uint32_t i = 0; i < out_.structures.size(); ++i) {
      const Kind kind = out_.structures[i].kind;
      if (kind == Kind::ObjectHeader1 || kind == Kind::OHDR) parse_structure(i);
    }
    for (std::uint32_t i = 0; i < out_.structures.size(); ++i) {
      const Kind kind = out_.structures[i].kind;
      if (kind != Kind::ObjectHeader1 && kind != Kind::OHDR) parse_structure(i);
    }
    return std::move(out_);
  }

 private:
  std::span<const std::uint8_t> image_;
  Layout out_;
  std::map<std::size_t, std::uint32_t> at_;
  std::set<std::size_t> field_offsets_;
  std::map<std::uint32_t, std::size_t> ochk_length_;
  std::set<std::uint32_t> walked_btrees_;
  // A continuation chunk's messages carry creation order fields as its
  // header's do: the message list being read says which, for the chunks
  // its continuation messages name.
  bool creation_order_ = false;
  std::set<std::uint32_t> ochk_creation_order_;
  unsigned A() const noexcept { return out_.sizeof_addr; }
  unsigned L() const noexcept { return out_.sizeof_size; }

  bool fits(std::size_t offset, std::size_t width) const noexcept {
    return offset <= image_.size() && width <= image_.size() - offset;
  }
  std::uint64_t get(std::size_t offset, std::size_t width) const noexcept { return read_le(image_, offset, width); }
  std::uint8_t byte(std::size_t offset) const noexcept { return offset < image_.size() ? image_[offset] : 0; }

  std::uint32_t add_structure(Kind kind, std::size_t offset) {
    if (const auto it = at_.find(offset); it != at_.end()) return it->second;
    const auto index = static_cast<std::uint32_t>(out_.structures.size());
    out_.structures.push_back(Structure{kind, offset});
    at_.emplace(offset, index);
    return index;
  }

  // The structure an address names, as a file offset, or -1.
  std::int32_t resolve(std::uint64_t address) const noexcept {
    if (address == kUndefined || address > image_.size()) return -1;
    const auto it = at_.find(static_cast<std::size_t>(address + out_.base_address));
    return it == at_.end() ? -1 : static_cast<std::int32_t>(it->second);
  }
  std::int32_t resolve_at(std::size_t offset) const noexcept { return resolve(get(offset, A())); }

  void add_field(std::uint32_t owner, std::size_t offset, unsigned width, FieldKind kind) {
    if (width == 0 || width > 8 || !fits(offset, width) || !field_offsets_.insert(offset).second) return;
    Field field{offset, static_cast<std::uint8_t>(width), kind, owner};
    if (kind == FieldKind::Address) field.target = resolve_at(offset);
    out_.fields.push_back(field);
  }
  void address(std::uint32_t owner, std::size_t offset) { add_field(owner, offset, A(), FieldKind::Address); }

  void set_checksum(std::uint32_t index, std::size_t begin, std::size_t at, std::size_t end = 0) {
    if (!fits(at, 4) || end > image_.size()) return;
    Structure& s = out_.structures[index];
    s.has_checksum = true;
    s.checksum = Checksum{begin, at, end};
  }
  // Of the candidate lengths, the first whose checksum holds; else the first.
  void set_checksum_of(std::uint32_t index, std::span<const std::size_t> lengths) {
    const std::size_t begin = out_.structures[index].offset;
    for (const std::size_t length : lengths) {
      const Checksum c{begin, begin + length};
      if (fits(c.at, 4) && c.holds(image_)) return set_checksum(index, c.begin, c.at);
    }
    if (!lengths.empty()) set_checksum(index, begin, begin + lengths.front());
  }
  // Where no size can be derived: the first length within a window whose
  // checksum holds. Each try hashes the whole prefix: the window stays small.
  void search_checksum(std::uint32_t index, std::size_t min_length, std::size_t window) {
    const std::size_t begin = out_.structures[index].offset;
    for (std::size_t length = min_length; length < window && fits(begin + length, 4); ++length) {
      const Checksum c{begin, begin + length};
      if (c.holds(image_)) return set_checksum(index, c.begin, c.at);
    }
  }

  void find_superblock() {
    static constexpr std::uint8_t kMagic[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};
    for (std::size_t offset = 0; fits(offset, 48); offset = offset ? offset * 2 : 512) {
      if (std::memcmp(image_.data() + offset, kMagic, 8) != 0) continue;
      const std::uint8_t version = byte(offset + 8);
      const std::uint8_t a = version >= 2 ? byte(offset + 9) : byte(offset + 13);
      const std::uint8_t l = version >= 2 ? byte(offset + 10) : byte(offset + 14);
      if ((a == 2 || a == 4 || a == 8) && (l == 2 || l == 4 || l == 8)) {
        out_.sizeof_addr = a;
        out_.sizeof_size = l;
      }
      const std::size_t base_at = version >= 2 ? offset + 12 : offset + (version == 1 ? 28 : 24);
      const std::uint64_t base = get(base_at, A());
      out_.base_address = base < image_.size() ? base : 0;
      add_structure(Kind::Superblock, offset);
      return;
    }
  }

  void scan_signatures() {
    if (image_.size() < 8) return;
    for (std::size_t i = 0; i + 8 <= image_.size(); ++i) {
      const std::uint8_t c = byte(i);
      if (c != 'O' && c != 'T' && c != 'H' && c != 'S' && c != 'G' && c != 'B' && c != 'F' && c != 'E') continue;
      for (const Signature& s : kSignatures) {
        if (std::memcmp(image_.data() + i, s.text, 4) != 0) continue;
        const std::uint8_t version = byte(i + 4);
        const bool plausible = s.kind == Kind::OCHK || (s.kind == Kind::OHDR && version == 2) ||
                               ((s.kind == Kind::SNOD || s.kind == Kind::GCOL) && version == 1) ||
                               (s.kind == Kind::TREE && version <= 1) || version == 0;
        if (plausible) add_structure(s.kind, i);
        break;
      }
    }
  }

  // Version 1 object headers carry no signature: a header is where the
  // prefix's message count and size agree with messages that tile it.
  void scan_v1_headers() {
    for (std::size_t i = 0; i + 24 <= image_.size(); ++i) {
      if (byte(i) != 1 || byte(i + 1) != 0) continue;
      const std::uint64_t nmesgs = get(i + 2, 2);
      const std::uint64_t size = get(i + 8, 4);
      if (nmesgs == 0 || size < 8 || size % 8 != 0 || get(i + 12, 4) != 0 || !fits(i + 16, size)) continue;
      if (tiles_v1_messages(i + 16, size, nmesgs)) add_structure(Kind::ObjectHeader1, i);
    }
  }
  bool tiles_v1_messages(std::size_t begin, std::uint64_t size, std::uint64_t nmesgs) const {
    std::size_t p = begin;
    const std::size_t end = begin + static_cast<std::size_t>(size);
    std::uint64_t count = 0;
    while (p + 8 <= end) {
      const std::uint64_t type = get(p, 2);
      const std::uint64_t length = get(p + 2, 2);
      if (type > 0x18 || length % 8 != 0 || length > end - p - 8 || get(p + 5, 3) != 0) return false;
      p += 8 + static_cast<std::size_t>(length);
      ++count;
    }
    return p == end && count <= nmesgs;
  }

  void parse_structure(std::uint32_t index) {
    const std::size_t o = out_.structures[index].offset;
    switch (out_.structures[index].kind) {
      case Kind::Superblock: return parse_superblock(index, o);
      case Kind::ObjectHeader1: return parse_v1_header(index, o);
      case Kind::Continuation1: return;
      case Kind::OHDR: return parse_ohdr(index, o);
      case Kind::OCHK: return parse_ochk(index, o);
      case Kind::TREE: return parse_tree(index, o);
      case Kind::HEAP:
        add_field(index, o + 8, L(), FieldKind::Size);
        add_field(index, o + 8 + L(), L(), FieldKind::Size);
        address(index, o + 8 + 2 * L());
        return;
      case Kind::SNOD: return parse_snod(index, o);
      case Kind::GCOL: return parse_gcol(index, o);
      case Kind::BTHD: return parse_bthd(index, o);
      case Kind::BTIN:
      case Kind::BTLF: return;  // by their tree's header
      case Kind::FRHP: return parse_frhp(index, o);
      case Kind::FHDB:
      case Kind::FHIB: return parse_heap_block(index, o);
      case Kind::EAHD: return parse_eahd(index, o);
      case Kind::EAIB: return parse_eaib(index, o);
      case Kind::EASB:
      case Kind::EADB:
        address(index, o + 6);
        if (!out_.structures[index].has_checksum) search_checksum(index, 6 + A(), kSearchWindow);
        return;
      case Kind::FAHD: return parse_fahd(index, o);
      case Kind::FADB:
        address(index, o + 6);
        if (!out_.structures[index].has_checksum) search_checksum(index, 6 + A(), kSearchWindow);
        return;
      case Kind::FSHD: return parse_fshd(index, o);
      case Kind::FSSE:
        address(index, o + 5);
        search_checksum(index, 5 + A(), kSearchWindow);
        return;
    }
  }

  void parse_superblock(std::uint32_t index, std::size_t o) {
    const std::uint8_t version = byte(o + 8);
    if (version >= 2) {
      add_field(index, o + 9, 1, FieldKind::Size);
      add_field(index, o + 10, 1, FieldKind::Size);
      for (unsigned k = 0; k < 4; ++k) address(index, o + 12 + k * A());
      set_checksum(index, o, o + 12 + 4 * A());
      return;
    }
    add_field(index, o + 16, 2, FieldKind::Count);
    add_field(index, o + 18, 2, FieldKind::Count);
    std::size_t p = o + 24;
    if (version == 1) {
      add_field(index, p, 2, FieldKind::Count);
      p += 4;
    }
    for (unsigned k = 0; k < 4; ++k) address(index, p + k * A());
    p += 4 * A();
    symbol_entry(index, p);
  }

  // A symbol table entry: name offset, object header, cache type, scratch.
  void symbol_entry(std::uint32_t index, std::size_t p) {
    address(index, p + L());
    if (get(p + L() + A(), 4) == 1) {
      address(index, p + L() + A() + 8);
      address(index, p + L() + 2 * A() + 8);
    }
  }

  void parse_v1_header(std::uint32_t index, std::size_t o) {
    add_field(index, o + 2, 2, FieldKind::Count);
    add_field(index, o + 8, 4, FieldKind::Size);
    v1_messages(index, o + 16, o + 16 + static_cast<std::size_t>(get(o + 8, 4)), 0);
  }
  void v1_messages(std::uint32_t owner, std::size_t p, std::size_t end, unsigned depth) {
    end = std::min(end, image_.size());
    while (p + 8 <= end) {
      const auto type = static_cast<unsigned>(get(p, 2));
      const auto length = static_cast<std::size_t>(get(p + 2, 2));
      if (length > end - p - 8) return;
      message(owner, type, p + 8, length, true, depth);
      p += 8 + length;
    }
  }

  void parse_ohdr(std::uint32_t index, std::size_t o) {
    if (!fits(o, 7)) return;
    const std::uint8_t flags = byte(o + 5);
    std::size_t p = o + 6;
    if (flags & 0x20) p += 16;
    if (flags & 0x10) {
      add_field(index, p, 2, FieldKind::Count);
      add_field(index, p + 2, 2, FieldKind::Count);
      p += 4;
    }
    const unsigned size_width = 1u << (flags & 3);
    add_field(index, p, size_width, FieldKind::Size);
    const std::uint64_t chunk = get(p, size_width);
    p += size_width;
    if (!fits(p, chunk)) return;
    const std::size_t end = p + static_cast<std::size_t>(chunk);
    set_checksum(index, o, end);
    v2_messages(index, p, end, (flags & 0x04) != 0);
  }
  void parse_ochk(std::uint32_t index, std::size_t o) {
    const auto it = ochk_length_.find(index);
    if (it == ochk_length_.end() || it->second < 8 || !fits(o, it->second)) return;
    const std::size_t end = o + it->second - 4;
    set_checksum(index, o, end);
    v2_messages(index, o + 4, end, ochk_creation_order_.count(index) != 0);
  }
  void v2_messages(std::uint32_t owner, std::size_t p, std::size_t end, bool creation_order) {
    const std::size_t header = creation_order ? 6 : 4;
    creation_order_ = creation_order;
    while (p + header <= end) {
      const auto type = static_cast<unsigned>(byte(p));
      const auto length = static_cast<std::size_t>(get(p + 1, 2));
      if (length > end - p - header) return;
      add_field(owner, p + 1, 2, FieldKind::Size);
      message(owner, type, p + header, length, false, 0);
      p += header + length;
    }
  }

  void message(std::uint32_t owner, unsigned type, std::size_t p, std::size_t length, bool v1, unsigned depth) {
    if (length == 0 || !fits(p, length)) return;
    const std::size_t end = p + length;
    const std::uint8_t version = byte(p);
    switch (type) {
      case 0x01: return dataspace(owner, p, end);
      case 0x03: add_field(owner, p + 4, 4, FieldKind::Size); return;
      case 0x05:
        if (version == 3) {
          if (byte(p + 1) & 0x20) add_field(owner, p + 2, 4, FieldKind::Size);
        } else if (length >= 8) {
          add_field(owner, p + 4, 4, FieldKind::Size);
        }
        return;
      case 0x06: return link(owner, p, end);
      case 0x08: return layout(owner, p, end);
      case 0x0A:
        if (byte(p + 1) & 1) {
          add_field(owner, p + 2, 2, FieldKind::Count);
          add_field(owner, p + 4, 2, FieldKind::Count);
        }
        return;
      case 0x0B:
        add_field(owner, p + 1, 1, FieldKind::Count);
        if (version == 1) add_field(owner, p + 8 + 6, 2, FieldKind::Count);
        return;
      case 0x0C: return attribute(owner, p, end);
      case 0x10: return continuation(owner, p, end, v1, depth);
      case 0x11:
        if (end - p >= 2 * A()) {
          address(owner, p);
          address(owner, p + A());
        }
        return;
      case 0x02:
      case 0x15: {
        // Link info (a creation index of 8 bytes) or attribute info (2).
        std::size_t q = p + 2;
        if (byte(p + 1) & 1) q += type == 0x02 ? 8 : 2;
        const unsigned count = (byte(p + 1) & 2) ? 3 : 2;
        for (unsigned k = 0; k < count && q + A() <= end; ++k, q += A()) address(owner, q);
        return;
      }
      default: return;
    }
  }

  void dataspace(std::uint32_t owner, std::size_t p, std::size_t end) {
    if (end - p < 4) return;
    const std::uint8_t version = byte(p);
    add_field(owner, p + 1, 1, FieldKind::Rank);
    const std::size_t dims = p + (version == 1 ? 8 : 4);
    const unsigned rank = byte(p + 1);
    for (unsigned k = 0; k < rank && k < 2 && dims + (k + 1) * L() <= end; ++k)
      add_field(owner, dims + k * L(), L(), FieldKind::Size);
    if ((byte(p + 2) & 1) && rank > 0 && dims + (rank + 1) * L() <= end)
      add_field(owner, dims + rank * L(), L(), FieldKind::Size);
  }

  void link(std::uint32_t owner, std::size_t p, std::size_t end) {
    if (end - p < 3) return;
    const std::uint8_t flags = byte(p + 1);
    std::size_t q = p + 2;
    std::uint8_t type = 0;
    if (flags & 0x08) type = byte(q++);
    if (flags & 0x04) q += 8;
    if (flags & 0x10) ++q;
    const unsigned width = 1u << (flags & 3);
    if (q + width > end) return;
    add_field(owner, q, width, FieldKind::Size);
    q += width + static_cast<std::size_t>(get(q, width));
    if (type == 0 && q + A() <= end) address(owner, q);
  }

  void layout(std::uint32_t owner, std::size_t p, std::size_t end) {
    if (end - p < 2) return;
    const std::uint8_t version = byte(p);
    if (version < 3) {
      // Rank, class; the address (not for compact data), then the sizes.
      add_field(owner, p + 1, 1, FieldKind::Rank);
      std::size_t q = p + 8 + (version == 1 ? 4 : 0);
      if (byte(p + 2) != 0 && q + A() <= end) {
        address(owner, q);
        q += A();
      }
      for (unsigned k = 0; k < byte(p + 1) && k < 3 && q + 4 * (k + 1) <= end; ++k)
        add_field(owner, q + 4 * k, 4, FieldKind::Size);
      return;
    }
    const std::uint8_t layout_class = byte(p + 1);
    if (layout_class == 0) {
      add_field(owner, p + 2, 2, FieldKind::Size);
      records(owner, p + 4, end);
    } else if (layout_class == 1 || layout_class == 3) {
      address(owner, p + 2);
      if (layout_class == 1) add_field(owner, p + 2 + A(), L(), FieldKind::Size);
    } else if (layout_class == 2 && version == 3) {
      add_field(owner, p + 2, 1, FieldKind::Rank);
      address(owner, p + 3);
      for (unsigned k = 0; k < byte(p + 2) && k < 3; ++k) add_field(owner, p + 3 + A() + 4 * k, 4, FieldKind::Size);
    } else if (layout_class == 2 && end - p >= 5) {
      const std::uint8_t flags = byte(p + 2);
      const unsigned rank = byte(p + 3);
      const unsigned width = byte(p + 4);
      add_field(owner, p + 3, 1, FieldKind::Rank);
      add_field(owner, p + 4, 1, FieldKind::Size);
      if (width == 0 || width > 8) return;
      std::size_t q = p + 5;
      for (unsigned k = 0; k < rank; ++k, q += width)
        if (k < 3) add_field(owner, q, width, FieldKind::Size);
      if (q >= end) return;
      const std::uint8_t index_type = byte(q++);
      switch (index_type) {
        case 1:
          if (flags & 2) {
            add_field(owner, q, L(), FieldKind::Size);
            q += L() + 4;
          }
          break;
        case 3: add_field(owner, q++, 1, FieldKind::Bits); break;
        case 4:
          for (unsigned k = 0; k < 5; ++k) add_field(owner, q + k, 1, FieldKind::Bits);
          q += 5;
          break;
        case 5:
          add_field(owner, q, 4, FieldKind::Size);
          q += 6;
          break;
        default: break;
      }
      if (q + A() <= end) address(owner, q);
    }
  }

  void attribute(std::uint32_t owner, std::size_t p, std::size_t end) {
    if (end - p < 8) return;
    const std::uint8_t version = byte(p);
    const auto pad = [version](std::size_t n) { return version == 1 ? (n + 7) / 8 * 8 : n; };
    add_field(owner, p + 2, 2, FieldKind::Size);
    add_field(owner, p + 4, 2, FieldKind::Size);
    add_field(owner, p + 6, 2, FieldKind::Size);
    const std::size_t name = p + (version >= 3 ? 9 : 8);
    const std::size_t datatype = name + pad(static_cast<std::size_t>(get(p + 2, 2)));
    const std::size_t space = datatype + pad(static_cast<std::size_t>(get(p + 4, 2)));
    if (datatype + 8 <= end) add_field(owner, datatype + 4, 4, FieldKind::Size);
    if (space + 4 <= end) dataspace(owner, space, std::min(end, space + static_cast<std::size_t>(get(p + 6, 2))));
    // Variable-length values name global heap collections; references name
    // object headers.
    const std::size_t data = space + pad(static_cast<std::size_t>(get(p + 6, 2)));
    if (data < end) records(owner, data, end);
  }

  void continuation(std::uint32_t owner, std::size_t p, std::size_t end, bool v1, unsigned depth) {
    if (end - p < A() + L()) return;
    address(owner, p);
    add_field(owner, p + A(), L(), FieldKind::Size);
    const std::uint64_t address_value = get(p, A());
    const std::uint64_t length = get(p + A(), L());
    if (address_value == kUndefined || address_value > image_.size() || length > image_.size()) return;
    const std::size_t at = static_cast<std::size_t>(address_value + out_.base_address);
    if (!fits(at, static_cast<std::size_t>(length))) return;
    if (!v1) {
      const std::int32_t chunk = resolve(address_value);
      if (chunk >= 0 && out_.structures[static_cast<std::size_t>(chunk)].kind == Kind::OCHK) {
        const auto index = static_cast<std::uint32_t>(chunk);
        ochk_length_.emplace(index, static_cast<std::size_t>(length));
        if (creation_order_) ochk_creation_order_.insert(index);
      }
      return;
    }
    if (depth > 8 || at_.count(at) != 0) return;
    const std::uint32_t block = add_structure(Kind::Continuation1, at);
    for (Field& f : out_.fields)
      if (f.offset == p) f.target = static_cast<std::int32_t>(block);
    v1_messages(block, at, at + static_cast<std::size_t>(length), depth + 1);
  }

  // A version 1 B-tree node: group nodes key by a heap offset; chunk nodes by
  // a size, a filter mask and one offset a dimension, the rank told by the
  // layout, here by the key size at which every child lies in the file.
  void parse_tree(std::uint32_t index, std::size_t o) {
    if (!fits(o, 8 + 2 * A())) return;
    const std::uint8_t type = byte(o + 4);
    add_field(index, o + 5, 1, FieldKind::Level);
    add_field(index, o + 6, 2, FieldKind::Count);
    address(index, o + 8);
    address(index, o + 8 + A());
    const auto entries = static_cast<std::size_t>(get(o + 6, 2));
    const std::size_t keys = o + 8 + 2 * A();
    const auto children_fit = [&](std::size_t key) {
      for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t at = keys + key + i * (key + A());
        if (!fits(at, A()) || get(at, A()) >= image_.size()) return false;
      }
      return true;
    };
    std::size_t key = 0;
    if (type == 0) {
      key = L();
    } else {
      for (std::size_t dims = 2; dims <= 33 && key == 0; ++dims)
        if (children_fit(8 + 8 * dims)) key = 8 + 8 * dims;
    }
    if (key == 0 || !children_fit(key)) return;
    for (std::size_t i = 0; i < entries && i < 64; ++i) address(index, keys + key + i * (key + A()));
    if (type == 1 && entries > 0) add_field(index, keys, 4, FieldKind::Size);
  }

  void parse_snod(std::uint32_t index, std::size_t o) {
    add_field(index, o + 6, 2, FieldKind::Count);
    const auto count = static_cast<std::size_t>(get(o + 6, 2));
    const std::size_t entry = 2 * L() + 24;
    for (std::size_t i = 0; i < count && i < 64 && fits(o + 8 + (i + 1) * entry, 0); ++i)
      symbol_entry(index, o + 8 + i * entry);
  }

  void parse_gcol(std::uint32_t index, std::size_t o) {
    add_field(index, o + 8, L(), FieldKind::Size);
    const std::uint64_t size = get(o + 8, L());
    const std::size_t end = fits(o, size) ? o + static_cast<std::size_t>(size) : image_.size();
    std::size_t p = o + 8 + L();
    for (unsigned k = 0; k < 8 && p + 8 + L() <= end; ++k) {
      if (get(p, 2) == 0) return;
      add_field(index, p + 2, 2, FieldKind::Count);
      add_field(index, p + 8, L(), FieldKind::Size);
      const std::uint64_t length = get(p + 8, L());
      if (length > end - p) return;
      p += 8 + L() + static_cast<std::size_t>((length + 7) / 8 * 8);
    }
  }

  struct BTree {
    std::uint32_t node_size, record_size;
    std::vector<unsigned> max_nrec, cum_size;  // by depth
    unsigned nrec_size;
    unsigned pointer_size(unsigned depth, unsigned a) const { return a + nrec_size + cum_size[depth - 1]; }
  };

  void parse_bthd(std::uint32_t index, std::size_t o) {
    if (!fits(o, 26 + A() + L())) return;
    add_field(index, o + 6, 4, FieldKind::Size);
    add_field(index, o + 10, 2, FieldKind::Size);
    add_field(index, o + 12, 2, FieldKind::Level);
    add_field(index, o + 14, 1, FieldKind::Count);
    address(index, o + 16);
    const std::size_t root_nrec_at = o + 16 + A();
    add_field(index, root_nrec_at, 2, FieldKind::Count);
    add_field(index, o + 18 + A(), L(), FieldKind::Count);
    set_checksum(index, o, o + 18 + A() + L());

    // HDF5's node geometry (H5B2__hdr_init).
    BTree tree{static_cast<std::uint32_t>(get(o + 6, 4)), static_cast<std::uint32_t>(get(o + 10, 2)), {}, {}, 0};
    const auto depth = static_cast<unsigned>(get(o + 12, 2));
    // Any depth the field holds: an edited one places the root's checksum
    // by its geometry.
    if (tree.record_size == 0 || tree.node_size <= 10 || tree.node_size > (1u << 20)) return;
    tree.max_nrec.push_back((tree.node_size - 10) / tree.record_size);
    tree.cum_size.push_back(0);
    tree.nrec_size = limit_enc_size(tree.max_nrec[0]);
    std::vector<std::uint64_t> cum{tree.max_nrec[0]};
    for (unsigned d = 1; d <= depth; ++d) {
      const unsigned pointer = tree.pointer_size(d, A());
      if (tree.node_size < 10 + pointer) return;
      const unsigned max = (tree.node_size - 10 - pointer) / (tree.record_size + pointer);
      tree.max_nrec.push_back(max);
      cum.push_back((max + 1) * cum[d - 1] + max);
      tree.cum_size.push_back(limit_enc_size(cum[d]));
    }
    walk_node(tree, resolve_at(o + 16), depth, get(root_nrec_at, 2), root_nrec_at, 0);
  }

  void walk_node(const BTree& tree, std::int32_t node, unsigned depth, std::uint64_t nrec, std::size_t nrec_at,
                 unsigned level) {
    if (node < 0 || level > 8) return;
    const auto index = static_cast<std::uint32_t>(node);
    const Structure& s = out_.structures[index];
    if (s.kind != (depth == 0 ? Kind::BTLF : Kind::BTIN) || !walked_btrees_.insert(index).second) return;
    const std::size_t o = s.offset;
    const unsigned per = tree.record_size + (depth > 0 ? tree.pointer_size(depth, A()) : 0);
    const unsigned base = 6 + (depth > 0 ? tree.pointer_size(depth, A()) : 0);
    for (Field& f : out_.fields) {
      if (f.offset != nrec_at) continue;
      f.dependent = static_cast<std::int32_t>(index);
      f.base = base;
      f.per = per;
    }
    if (nrec > tree.max_nrec[std::min<std::size_t>(depth, tree.max_nrec.size() - 1)]) return;
    set_checksum(index, o, o + base + static_cast<std::size_t>(nrec) * per);
    if (depth == 0) {
      records(index, o + 6, o + 6 + static_cast<std::size_t>(nrec) * tree.record_size);
      return;
    }
    std::size_t p = o + 6 + static_cast<std::size_t>(nrec) * tree.record_size;
    records(index, o + 6, p);
    for (std::uint64_t i = 0; i <= nrec && fits(p, tree.pointer_size(depth, A())); ++i) {
      address(index, p);
      add_field(index, p + A(), tree.nrec_size, FieldKind::Count);
      if (depth > 1) add_field(index, p + A() + tree.nrec_size, tree.cum_size[depth - 1], FieldKind::Count);
      walk_node(tree, resolve_at(p), depth - 1, get(p + A(), tree.nrec_size), p + A(), level + 1);
      p += tree.pointer_size(depth, A());
    }
  }

  // Addresses inside records (chunk addresses, huge objects) and element
  // lists: any value that names a structure.
  void records(std::uint32_t owner, std::size_t begin, std::size_t end) {
    end = std::min(end, image_.size());
    // Zeros name the superblock only by chance.
    for (std::size_t p = begin; p + A() <= end; ++p)
      if (get(p, A()) != 0 && resolve_at(p) >= 0) address(owner, p);
  }

  // Fractal heap header; its fields in order, the root block address at 132.
  struct Heap {
    unsigned width = 0;
    std::uint64_t start = 0, max_direct = 0;
    unsigned offset_size = 0, filter_len = 0, root_rows = 0;
    bool checksum_direct = false;
  };
  std::map<std::uint32_t, Heap> heaps_;

  void parse_frhp(std::uint32_t index, std::size_t o) {
    if (A() != 8 || L() != 8 || !fits(o, 146)) return;
    add_field(index, o + 5, 2, FieldKind::Size);
    add_field(index, o + 10, 4, FieldKind::Size);
    address(index, o + 22);
    address(index, o + 38);
    static constexpr std::size_t kCounts[] = {30, 46, 54, 62, 70, 78, 86, 94, 102};
    for (const std::size_t at : kCounts) add_field(index, o + at, 8, FieldKind::Count);
    add_field(index, o + 110, 2, FieldKind::Count);
    add_field(index, o + 112, 8, FieldKind::Size);
    add_field(index, o + 120, 8, FieldKind::Size);
    add_field(index, o + 128, 2, FieldKind::Bits);
    add_field(index, o + 130, 2, FieldKind::Count);
    address(index, o + 132);
    add_field(index, o + 140, 2, FieldKind::Level);
    Heap heap;
    heap.filter_len = static_cast<unsigned>(get(o + 7, 2));
    heap.checksum_direct = (byte(o + 9) & 2) != 0;
    heap.width = static_cast<unsigned>(get(o + 110, 2));
    heap.start = get(o + 112, 8);
    heap.max_direct = get(o + 120, 8);
    heap.offset_size = static_cast<unsigned>((get(o + 128, 2) + 7) / 8);
    heap.root_rows = static_cast<unsigned>(get(o + 140, 2));
    std::size_t end = o + 142;
    if (heap.filter_len > 0) {
      add_field(index, end, 8, FieldKind::Size);
      end += 12 + heap.filter_len;
    }
    set_checksum(index, o, end);
    heaps_.emplace(index, heap);
  }

  void parse_heap_block(std::uint32_t index, std::size_t o) {
    address(index, o + 5);
    const std::int32_t owner = resolve_at(o + 5);
    const auto heap_it = owner < 0 ? heaps_.end() : heaps_.find(static_cast<std::uint32_t>(owner));
    if (heap_it == heaps_.end()) return;
    const Heap& h = heap_it->second;
    if (h.offset_size == 0 || h.offset_size > 8 || h.start == 0 || h.max_direct < h.start || h.width == 0 ||
        h.width > 4096)
      return;
    add_field(index, o + 5 + A(), h.offset_size, FieldKind::Size);
    const std::size_t prefix = 5 + A() + h.offset_size;
    if (out_.structures[index].kind == Kind::FHDB) {
      // The block's size is one of the doubling table's: the one whose
      // checksum, over the whole block, holds.
      std::size_t size = 0;
      for (std::uint64_t candidate = h.start; h.checksum_direct && candidate <= h.max_direct && fits(o, candidate);
           candidate *= 2) {
        if (Checksum{o, o + prefix, o + static_cast<std::size_t>(candidate)}.holds(image_)) {
          size = static_cast<std::size_t>(candidate);
          break;
        }
      }
      if (size == 0 && fits(o, h.start)) size = static_cast<std::size_t>(h.start);
      if (size == 0) return;
      if (h.checksum_direct) set_checksum(index, o, o + prefix, o + size);
      // Dense links and attributes: the headers and global heaps they name.
      if (h.filter_len == 0) records(index, o + prefix + (h.checksum_direct ? 4 : 0), o + size);
      return;
    }
    const unsigned direct_rows = log2_floor(h.max_direct) - log2_floor(h.start) + 2;
    const unsigned entry = h.filter_len > 0 ? A() + L() + 4 : A();
    const auto length_of = [&](unsigned rows) -> std::size_t {
      return prefix + std::min(rows, direct_rows) * h.width * entry +
             (rows > direct_rows ? rows - direct_rows : 0) * h.width * A();
    };
    // The root's rows first: the header says how many.
    std::vector<std::size_t> lengths;
    if (h.root_rows > 0 && h.root_rows <= 64) lengths.push_back(length_of(h.root_rows));
    for (unsigned rows = 1; rows <= 64 && length_of(rows) <= image_.size(); ++rows)
      if (rows != h.root_rows) lengths.push_back(length_of(rows));
    set_checksum_of(index, lengths);
    const Structure& s = out_.structures[index];
    if (!s.has_checksum) return;
    for (std::size_t p = o + prefix; p + A() <= s.checksum.at; p += entry) address(index, p);
  }

  struct Array {
    unsigned element_size = 0;
    std::uint64_t ib_elements = 0, dblock_addrs = 0, sblock_addrs = 0;
  };
  std::map<std::uint32_t, Array> arrays_;

  void parse_eahd(std::uint32_t index, std::size_t o) {
    if (!fits(o, 12 + 6 * L() + A())) return;
    add_field(index, o + 6, 1, FieldKind::Size);
    add_field(index, o + 7, 1, FieldKind::Bits);
    add_field(index, o + 8, 1, FieldKind::Count);
    add_field(index, o + 9, 1, FieldKind::Count);
    add_field(index, o + 10, 1, FieldKind::Count);
    add_field(index, o + 11, 1, FieldKind::Bits);
    for (unsigned k = 0; k < 6; ++k) add_field(index, o + 12 + k * L(), L(), FieldKind::Count);
    address(index, o + 12 + 6 * L());
    set_checksum(index, o, o + 12 + 6 * L() + A());
    // H5EA__hdr_init and H5EA__iblock_alloc.
    const unsigned max_bits = byte(o + 7), dblock_min = byte(o + 9), sblock_min = byte(o + 10);
    if (dblock_min == 0 || sblock_min == 0 || max_bits > 64 || max_bits < log2_floor(dblock_min)) return;
    const std::uint64_t nsblks = 1 + max_bits - log2_floor(dblock_min);
    const std::uint64_t iblock_sblks = 2 * log2_floor(sblock_min);
    arrays_.emplace(index, Array{byte(o + 6), byte(o + 8), 2 * (std::uint64_t{sblock_min} - 1),
                                 nsblks > iblock_sblks ? nsblks - iblock_sblks : 0});
  }

  void parse_eaib(std::uint32_t index, std::size_t o) {
    address(index, o + 6);
    const std::int32_t owner = resolve_at(o + 6);
    const auto it = owner < 0 ? arrays_.end() : arrays_.find(static_cast<std::uint32_t>(owner));
    if (it == arrays_.end()) {
      search_checksum(index, 6 + A(), kSearchWindow);
      return;
    }
    const Array& a = it->second;
    const std::size_t elements = o + 6 + A();
    const std::size_t addrs = elements + static_cast<std::size_t>(a.ib_elements * a.element_size);
    const std::size_t length = addrs - o + static_cast<std::size_t>((a.dblock_addrs + a.sblock_addrs) * A());
    set_checksum(index, o, o + length);
    records(index, elements, o + length);
  }

  void parse_fahd(std::uint32_t index, std::size_t o) {
    if (!fits(o, 8 + L() + A() + 4)) return;
    add_field(index, o + 6, 1, FieldKind::Size);
    add_field(index, o + 7, 1, FieldKind::Bits);
    add_field(index, o + 8, L(), FieldKind::Count);
    address(index, o + 8 + L());
    set_checksum(index, o, o + 8 + L() + A());
    const std::int32_t block = resolve_at(o + 8 + L());
    if (block < 0 || out_.structures[static_cast<std::size_t>(block)].kind != Kind::FADB) return;
    const unsigned element = byte(o + 6), page_bits = byte(o + 7);
    const std::uint64_t n = get(o + 8, L());
    const auto b = static_cast<std::uint32_t>(block);
    const std::size_t bo = out_.structures[b].offset;
    if (page_bits < 64 && n <= (std::uint64_t{1} << page_bits)) {
      // Unpaged: the elements, then the checksum.
      for (Field& f : out_.fields) {
        if (f.offset != o + 8) continue;
        f.dependent = block;
        f.base = 6 + A();
        f.per = element;
      }
      if (n <= image_.size()) set_checksum(b, bo, bo + 6 + A() + static_cast<std::size_t>(n) * element);
      records(b, bo + 6 + A(), bo + 6 + A() + static_cast<std::size_t>(n) * element);
    } else if (page_bits < 64) {
      const std::uint64_t pages = (n + (std::uint64_t{1} << page_bits) - 1) >> page_bits;
      if (pages <= image_.size()) set_checksum(b, bo, bo + 6 + A() + static_cast<std::size_t>((pages + 7) / 8));
    }
  }

  void parse_fshd(std::uint32_t index, std::size_t o) {
    if (!fits(o, 6 + 5 * L() + 8 + A() + 2 * L())) return;
    for (unsigned k = 0; k < 4; ++k) add_field(index, o + 6 + k * L(), L(), FieldKind::Count);
    add_field(index, o + 6 + 4 * L(), 2, FieldKind::Count);
    add_field(index, o + 6 + 4 * L() + 6, 2, FieldKind::Bits);
    add_field(index, o + 14 + 4 * L(), L(), FieldKind::Size);
    address(index, o + 14 + 5 * L());
    add_field(index, o + 14 + 5 * L() + A(), L(), FieldKind::Size);
    add_field(index, o + 14 + 6 * L() + A(), L(), FieldKind::Size);
    set_checksum(index, o, o + 14 + 7 * L() + A());
  }
};

}  // namespace

const char* kind_name(Kind kind) noexcept {
  static constexpr const char* kNames[kKindCount] = {
      "superblock", "object header v1", "continuation v1", "OHDR", "OCHK", "TREE", "HEAP", "SNOD",
      "GCOL",       "BTHD",             "BTIN",            "BTLF", "FRHP", "FHDB", "FHIB", "EAHD",
      "EAIB",       "EASB",             "EADB",            "FAHD", "FADB", "FSHD", "FSSE"};
  return kNames[static_cast<std::size_t>(kind)];
}

std::uint32_t lookup3(std::span<const std::uint8_t> bytes, std::uint32_t initval) noexcept {
  std::size_t length = bytes.size();
  const std::uint8_t* k = bytes.data();
  std::uint32_t a = 0xdeadbeef + static_cast<std::uint32_t>(length) + initval;
  std::uint32_t b = a;
  std::uint32_t c = a;
  const auto word = [](const std::uint8_t* p, std::size_t n) {
    std::uint32_t w = 0;
    for (std::size_t i = 0; i < n && i < 4; ++i) w |= std::uint32_t{p[i]} << (8 * i);
    return w;
  };
  while (length > 12) {
    a += word(k, 4);
    b += word(k + 4, 4);
    c += word(k + 8, 4);
    a -= c; a ^= rot(c, 4);  c += b;
    b -= a; b ^= rot(a, 6);  a += c;
    c -= b; c ^= rot(b, 8);  b += a;
    a -= c; a ^= rot(c, 16); c += b;
    b -= a; b ^= rot(a, 19); a += c;
    c -= b; c ^= rot(b, 4);  b += a;
    length -= 12;
    k += 12;
  }
  if (length == 0) return c;
  a += word(k, std::min<std::size_t>(length, 4));
  if (length > 4) b += word(k + 4, std::min<std::size_t>(length - 4, 4));
  if (length > 8) c += word(k + 8, length - 8);
  c ^= b; c -= rot(b, 14);
  a ^= c; a -= rot(c, 11);
  b ^= a; b -= rot(a, 25);
  c ^= b; c -= rot(b, 16);
  a ^= c; a -= rot(c, 4);
  b ^= a; b -= rot(a, 14);
  c ^= b; c -= rot(b, 24);
  return c;
}

std::uint64_t read_le(std::span<const std::uint8_t> image, std::size_t offset, std::size_t width) noexcept {
  std::uint64_t value = 0;
  if (width > 8 || offset > image.size() || width > image.size() - offset) return 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{image[offset + i]} << (8 * i);
  return value;
}

void write_le(std::span<std::uint8_t> image, std::size_t offset, std::size_t width, std::uint64_t value) noexcept {
  if (width > 8 || offset > image.size() || width > image.size() - offset) return;
  for (std::size_t i = 0; i < width; ++i) image[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

namespace {
std::uint32_t checksum_of(std::span<const std::uint8_t> image, const Checksum& c) {
  if (c.end <= c.at + 4) return lookup3(image.subspan(c.begin, c.at - c.begin));
  std::vector<std::uint8_t> block(image.begin() + static_cast<std::ptrdiff_t>(c.begin),
                                  image.begin() + static_cast<std::ptrdiff_t>(c.end));
  std::fill_n(block.begin() + static_cast<std::ptrdiff_t>(c.at - c.begin), 4, std::uint8_t{0});
  return lookup3(block);
}
bool valid(std::span<const std::uint8_t> image, const Checksum& c) {
  return c.begin <= c.at && c.at <= image.size() && image.size() - c.at >= 4 && c.end <= image.size();
}
}  // namespace

bool Checksum::holds(std::span<const std::uint8_t> image) const {
  return valid(image, *this) && read_le(image, at, 4) == checksum_of(image, *this);
}

void Checksum::write(std::span<std::uint8_t> image) const {
  if (valid(image, *this)) write_le(image, at, 4, checksum_of(image, *this));
}

Layout parse_layout(std::span<const std::uint8_t> image) { return Parser(image).run(); }

}  // namespace quillrun::fuzz
