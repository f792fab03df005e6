// The one new file every update fuzzer adds to the archive it is given.
#pragma once

#include "core/types.h"
#include "scratch.h"

namespace fuzz {

inline constexpr char kNewData[] = "new data\n";

inline const arc::Item& NewItem() {
  static const arc::Item item = [] {
    arc::Item it;
    it.name = "new.txt";
    it.source = TheScratch().Write("new.txt", kNewData, sizeof kNewData - 1);
    it.size = sizeof kNewData - 1;
    it.mtime = 132000000000000000ull;
    it.attrib = 0x20;
    return it;
  }();
  return item;
}

}  // namespace fuzz
