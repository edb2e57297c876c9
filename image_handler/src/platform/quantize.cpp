// Colour quantisation for the GIF encoder: a histogram of 6-bit cells, a
// variance-based median cut and rounds of k-means over the cells. No
// dithering: it adds error, which is what is measured. Images of at most 256
// colours take their exact palette (exact_colours.cpp) instead.
#include "platform/quantize.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace pm {

namespace {

// One histogram cell: 6 bits a channel, with the exact sums of its colours.
struct Cell {
  uint32_t count;
  uint32_t grid;   // the cell's place in the 64 x 64 x 64 grid
  double r, g, b;  // means once finalised
};

inline size_t CellOf(uint8_t r, uint8_t g, uint8_t b) {
  return (static_cast<size_t>(r >> 2) << 12) | (static_cast<size_t>(g >> 2) << 6) | (b >> 2);
}

struct Box {
  size_t begin, end;  // range in the cell list
  double error;       // weighted squared error around the box mean
};

void BoxStats(const std::vector<Cell>& cells, size_t begin, size_t end, double mean[3], double var[3],
                   double* weight) {
  double w = 0, s[3] = {0, 0, 0}, q[3] = {0, 0, 0};
  for (size_t i = begin; i < end; ++i) {
    const Cell& c = cells[i];
    const double n = c.count;
    w += n;
    s[0] += n * c.r;
    s[1] += n * c.g;
    s[2] += n * c.b;
    q[0] += n * c.r * c.r;
    q[1] += n * c.g * c.g;
    q[2] += n * c.b * c.b;
  }
  *weight = w;
  for (int k = 0; k < 3; ++k) {
    mean[k] = w > 0 ? s[k] / w : 0;
    var[k] = w > 0 ? q[k] - s[k] * s[k] / w : 0;
  }
}

double BoxError(const std::vector<Cell>& cells, size_t begin, size_t end) {
  double mean[3], var[3], w;
  BoxStats(cells, begin, end, mean, var, &w);
  return end - begin > 1 ? var[0] + var[1] + var[2] : 0.0;
}

// Moves the cells of [begin, end) that come first along `channel` (ties by
// grid place, so that the order is total) to the front, as many as make up
// half the range's weight: the cell that reaches it and those before it,
// but never all of them. Returns where the rest begin. A selection, not a
// sort: each pass keeps only the side that holds the halfway point.
template <typename Channel>
size_t SplitAtWeightedMedian(std::vector<Cell>& cells, size_t begin, size_t end, double half, Channel channel) {
  auto before = [&](const Cell& a, const Cell& b) {
    return channel(a) < channel(b) || (channel(a) == channel(b) && a.grid < b.grid);
  };
  size_t lo = begin, hi = end;
  double acc = 0;  // weight of the cells before `lo`, all of them on the left
  while (hi - lo > 1) {
    // The median of three as the pivot, moved to the range's end.
    const size_t mid = lo + (hi - lo) / 2;
    if (before(cells[mid], cells[lo])) std::swap(cells[mid], cells[lo]);
    if (before(cells[hi - 1], cells[lo])) std::swap(cells[hi - 1], cells[lo]);
    if (before(cells[mid], cells[hi - 1])) std::swap(cells[mid], cells[hi - 1]);
    const Cell pivot = cells[hi - 1];
    size_t store = lo;
    double left = 0;
    for (size_t i = lo; i + 1 < hi; ++i) {
      if (before(cells[i], pivot)) {
        left += cells[i].count;
        std::swap(cells[i], cells[store++]);
      }
    }
    std::swap(cells[store], cells[hi - 1]);
    if (acc + left >= half) {
      hi = store;  // the halfway point is among the cells before the pivot
    } else if (acc + left + pivot.count >= half) {
      lo = hi = store;  // the pivot reaches it
      break;
    } else {
      acc += left + pivot.count;
      lo = store + 1;
    }
  }
  return std::min(lo + 1, end - 1);
}

// Variance-based median cut: split the box with the largest error along its
// widest channel at the weighted median, until there are `target` boxes.
std::vector<Box> MedianCut(std::vector<Cell>& cells, size_t target) {
  std::vector<Box> boxes{Box{0, cells.size(), BoxError(cells, 0, cells.size())}};
  while (boxes.size() < target) {
    auto worst = std::max_element(boxes.begin(), boxes.end(),
                                  [](const Box& a, const Box& b) { return a.error < b.error; });
    if (worst->error <= 0.0) break;
    Box box = *worst;
    double mean[3], var[3], w;
    BoxStats(cells, box.begin, box.end, mean, var, &w);
    const int axis = var[0] >= var[1] && var[0] >= var[2] ? 0 : (var[1] >= var[2] ? 1 : 2);
    auto channel = [axis](const Cell& c) { return axis == 0 ? c.r : (axis == 1 ? c.g : c.b); };
    const size_t split = SplitAtWeightedMedian(cells, box.begin, box.end, w / 2, channel);
    *worst = Box{box.begin, split, BoxError(cells, box.begin, split)};
    boxes.push_back(Box{split, box.end, BoxError(cells, split, box.end)});
  }
  return boxes;
}

// Nearest palette entry by squared distance, ties to the lowest index, as a
// scan of all entries would give. The entries are sorted by their place on
// the grey axis (the channels' sum over the square root of 3, never farther
// from another colour's place than from that colour) and the search runs
// outward from the query's place in both directions, each stopping once
// that difference alone reaches the best distance. Photographs' colours
// spread most along the grey axis: a tenth of the entries or fewer are
// looked at instead of all of them.
class NearestSearch {
 public:
  // `pal` holds red, green, blue of each entry in turn.
  explicit NearestSearch(const std::vector<double>& pal) {
    const size_t n = pal.size() / 3;
    entries_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      entries_[i] = Entry{Place(pal[3 * i], pal[3 * i + 1], pal[3 * i + 2]), pal[3 * i], pal[3 * i + 1], pal[3 * i + 2],
                          static_cast<int>(i)};
    }
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
      return a.place < b.place || (a.place == b.place && a.index < b.index);
    });
    position_.resize(n);
    for (size_t i = 0; i < n; ++i) position_[static_cast<size_t>(entries_[i].index)] = i;
  }
  // `hint`, an entry likely to be near (or -1), bounds the search from the
  // start; the result is the same with or without it.
  int Find(double r, double g, double b, int hint = -1) const {
    const size_t n = entries_.size();
    const double place = Place(r, g, b);
    // `up`: the first entry at or past the query's place.
    size_t up = 0;
    double best_d = std::numeric_limits<double>::max();
    int best = 0;
    if (hint >= 0) {
      // Walked to from the hint's place: the entries passed are near, and few.
      up = position_[static_cast<size_t>(hint)];
      best_d = Distance(entries_[up], r, g, b);
      best = hint;
      while (up < n && entries_[up].place < place) ++up;
      while (up > 0 && entries_[up - 1].place >= place) --up;
    } else {
      up = static_cast<size_t>(std::lower_bound(entries_.begin(), entries_.end(), place,
                                                [](const Entry& e, double v) { return e.place < v; }) -
                               entries_.begin());
    }
    size_t down = up;  // entries below `down` are still to be looked at
    bool more_up = up < n, more_down = down > 0;
    while (more_up || more_down) {
      if (more_up) {
        const Entry& e = entries_[up];
        const double dp = e.place - place;
        if (dp * dp * kRounding > best_d) {
          more_up = false;
        } else {
          Consider(e, r, g, b, &best_d, &best);
          more_up = ++up < n;
        }
      }
      if (more_down) {
        const Entry& e = entries_[down - 1];
        const double dp = place - e.place;
        if (dp * dp * kRounding > best_d) {
          more_down = false;
        } else {
          Consider(e, r, g, b, &best_d, &best);
          more_down = --down > 0;
        }
      }
    }
    return best;
  }

 private:
  struct Entry {
    double place, r, g, b;
    int index;
  };
  static double Place(double r, double g, double b) { return (r + g + b) * 0.57735026918962576; }
  // A place difference can equal the distance (a pure change of grey);
  // rounding must not make it seem larger and end the search early.
  static constexpr double kRounding = 1.0 - 1e-9;
  static double Distance(const Entry& e, double r, double g, double b) {
    const double dr = r - e.r, dg = g - e.g, db = b - e.b;
    return dr * dr + dg * dg + db * db;
  }
  static void Consider(const Entry& e, double r, double g, double b, double* best_d, int* best) {
    const double d = Distance(e, r, g, b);
    if (d < *best_d || (d == *best_d && e.index < *best)) {
      *best_d = d;
      *best = e.index;
    }
  }
  std::vector<Entry> entries_;
  std::vector<size_t> position_;  // where each index sits in entries_
};

}  // namespace

namespace {

constexpr size_t kCells = 64 * 64 * 64;

// The histogram: the cells in use in grid order, with their pixel counts
// and mean colours (from exact sums).
std::vector<Cell> CollectCells(const uint8_t* base, size_t stride, int width, int height) {
  std::vector<Cell> cells;
  auto add = [&](size_t grid, uint32_t count, uint64_t r, uint64_t g, uint64_t b) {
    const double n = count;
    cells.push_back(Cell{count, static_cast<uint32_t>(grid), r / n, g / n, b / n});
  };
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (pixels < kCells / 8) {
    // Few pixels: sorting them by cell touches far less memory than the
    // grid, whose pages (each first touch a fault) would cost more than
    // the whole quantisation.
    std::vector<uint64_t> keys;
    keys.reserve(pixels);
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = base + static_cast<size_t>(y) * stride;
      for (int x = 0; x < width; ++x) {
        const uint8_t* px = row + 3 * x;
        keys.push_back(uint64_t{CellOf(px[2], px[1], px[0])} << 24 | ColourKey(px));
      }
    }
    std::sort(keys.begin(), keys.end());
    for (size_t i = 0; i < keys.size();) {
      const uint64_t grid = keys[i] >> 24;
      uint32_t count = 0;
      uint64_t r = 0, g = 0, b = 0;
      for (; i < keys.size() && keys[i] >> 24 == grid; ++i, ++count) {
        r += (keys[i] >> 16) & 0xFF;
        g += (keys[i] >> 8) & 0xFF;
        b += keys[i] & 0xFF;
      }
      add(grid, count, r, g, b);
    }
    return cells;
  }
  // One 16-byte slot a cell, so that a pixel touches one cache line: its
  // count and the sums of the two bits a channel below the cell's own six
  // (a record holds at most 2^31 bytes, so neither can wrap). Fresh zero
  // pages (large blocks are mappings of their own), not cleared by hand.
  struct Slot {
    uint32_t count, low[3];
  };
  static_assert(sizeof(Slot) == 16, "one slot, a quarter of a cache line");
  if (pixels > UINT32_MAX / 3) throw Error("GIF encoder failed: too many pixels to count");
  const Block block = AllocBlock(kCells * sizeof(Slot), true);
  auto* const slots = reinterpret_cast<Slot*>(block.get());
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = base + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      const uint8_t b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
      Slot& slot = slots[CellOf(r, g, b)];
      ++slot.count;
      slot.low[0] += r & 3u;
      slot.low[1] += g & 3u;
      slot.low[2] += b & 3u;
    }
  }
  for (size_t i = 0; i < kCells; ++i) {
    const Slot& slot = slots[i];
    if (slot.count == 0) continue;
    // The exact sums: each colour's top six bits are the cell's.
    const uint64_t n = slot.count;
    add(i, slot.count, n * ((i >> 12) << 2) + slot.low[0], n * (((i >> 6) & 63) << 2) + slot.low[1],
        n * ((i & 63) << 2) + slot.low[2]);
  }
  return cells;
}

}  // namespace

IndexedImage QuantizeBgr(const uint8_t* base, size_t stride, int width, int height, Bitmap* spends) {
  IndexedImage out;
  if (ExactColours(base, stride, width, height, &out)) {
    if (spends != nullptr) spends->Spend(0, height);
    return out;
  }
  out.pitch = static_cast<size_t>(width);
  out.indices = AllocBlock(CheckedMul(out.pitch, static_cast<size_t>(height)), false);

  std::vector<Cell> cells = CollectCells(base, stride, width, height);

  // Initial palette from median cut, then rounds of weighted k-means over
  // the cells. Each round gains less than the one before at the same cost;
  // the README's GIF quality figures are those of four rounds.
  constexpr int kRounds = 4;
  std::vector<Box> boxes = MedianCut(cells, 256);
  std::vector<double> pal(boxes.size() * 3);
  for (size_t i = 0; i < boxes.size(); ++i) {
    double mean[3], var[3], w;
    BoxStats(cells, boxes[i].begin, boxes[i].end, mean, var, &w);
    pal[3 * i] = mean[0];
    pal[3 * i + 1] = mean[1];
    pal[3 * i + 2] = mean[2];
  }
  const size_t n = boxes.size();
  std::vector<double> acc(n * 4);
  // Each cell's entry in the last round bounds its search in the next one.
  std::vector<int> assigned(cells.size(), -1);
  for (int iter = 0; iter < kRounds; ++iter) {
    std::fill(acc.begin(), acc.end(), 0.0);
    const NearestSearch nearest(pal);
    for (size_t i = 0; i < cells.size(); ++i) {
      const Cell& c = cells[i];
      const int k = nearest.Find(c.r, c.g, c.b, assigned[i]);
      assigned[i] = k;
      acc[4 * k] += c.count;
      acc[4 * k + 1] += c.count * c.r;
      acc[4 * k + 2] += c.count * c.g;
      acc[4 * k + 3] += c.count * c.b;
    }
    for (size_t k = 0; k < n; ++k) {
      if (acc[4 * k] == 0) continue;  // an unused entry keeps its place
      pal[3 * k] = acc[4 * k + 1] / acc[4 * k];
      pal[3 * k + 1] = acc[4 * k + 2] / acc[4 * k];
      pal[3 * k + 2] = acc[4 * k + 3] / acc[4 * k];
    }
  }
  out.palette.resize(n);
  auto to_byte = [](double v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v + 0.5)); };
  for (size_t k = 0; k < n; ++k) {
    out.palette[k] = Color{to_byte(pal[3 * k]), to_byte(pal[3 * k + 1]), to_byte(pal[3 * k + 2]), 255};
  }

  // Every pixel takes the entry nearest to its cell's mean colour. Searching
  // each distinct colour instead gains a little quality for much more time,
  // most of it in look-ups of a colour cache far larger than the
  // processor's caches.
  std::vector<double> final_pal(3 * n);
  for (size_t k = 0; k < n; ++k) {
    final_pal[3 * k] = out.palette[k].r;
    final_pal[3 * k + 1] = out.palette[k].g;
    final_pal[3 * k + 2] = out.palette[k].b;
  }
  const NearestSearch nearest(final_pal);
  std::vector<uint8_t> cell_entry(kCells, 0);
  for (size_t i = 0; i < cells.size(); ++i) {
    const Cell& c = cells[i];
    cell_entry[c.grid] = static_cast<uint8_t>(nearest.Find(c.r, c.g, c.b, assigned[i]));
  }
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = base + static_cast<size_t>(y) * stride;
    uint8_t* dst = out.indices.get() + static_cast<size_t>(y) * out.pitch;
    for (int x = 0; x < width; ++x) {
      const uint8_t* px = row + 3 * x;
      dst[x] = cell_entry[CellOf(px[2], px[1], px[0])];
    }
    if (spends != nullptr) spends->Spend(0, y + 1);
  }
  return out;
}

}  // namespace pm
