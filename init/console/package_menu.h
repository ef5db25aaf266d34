// Choosing the packages of an installation medium: the offered packages read
// from /floppy, the full-screen menu, and the chosen ones in install order.
#pragma once

#include <cstdio>

#include <string>
#include <vector>

#include "pkg/package_record.h"

namespace console {

struct OfferedPackage {
  pkg::PackageRecord record;
  bool selected = false;
};

// Names moved to the head of the list, each to its own index.
inline constexpr const char* FIXED_LEADING_NAMES[] = {"system", "ppp", "dhcp"};
inline constexpr const char* REQUIRED_PACKAGE = "system";
inline constexpr const char* MEDIUM_DIRECTORY = "/floppy";

inline constexpr int MENU_FIRST_LINE = 7;
inline constexpr int MENU_COLUMN_WIDTH = 26;
inline constexpr int MENU_DETAILS_LINE = 21;
inline constexpr int MENU_DESCRIPTION_LINES = 3;  // lines 22 to 24; 25 is where the menu ends
inline constexpr int MENU_END_LINE = 25;

class PackageMenu {
 public:
  std::vector<OfferedPackage> items;
  int cursor = 0;
  int rows = 0;

  // The index of the first item of exactly this name, or -1.
  int findPackageByName(const std::string& name) const;
  void drawItem(int index) const;
  void drawDetails() const;
  void moveUp();
  void moveDown();
  // One column to the right (1) or left (-1), where there is an item there.
  void moveAcross(int direction);
  void toggleSelection(int index);
  void selectMinimum();
  void drawAll() const;
};

// From the .vpk files in the medium's top directory, sorted, with the fixed
// names leading and /defpacks applied. False after a fatal message.
[[nodiscard]] bool loadOfferedPackages(PackageMenu& menu, const std::string& medium = MEDIUM_DIRECTORY);
// True when the operator chose to install, false when cancelled (or input ended).
bool runPackageMenu(PackageMenu& menu);
// The words of a medium's defpacks file (each cut to 91 characters).
std::vector<std::string> readDefaultSelection(FILE* f);
// The selected packages, filtered and ordered by the engine's selection rules.
void orderSelectedPackages(PackageMenu& menu, std::vector<OfferedPackage*>& order);

}  // namespace console
