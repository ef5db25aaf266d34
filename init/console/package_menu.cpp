#include "init/console/package_menu.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "init/console/terminal.h"
#include "pkg/medium.h"
#include "pkg/rules.h"

namespace console {

namespace {

const char* const TITLE = "Welcome to Korvanet Router Software installation\n";
const char* const HELP =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all with 'a', minimum with "
    "'m'. Press 'i' to install locally or 'q' to cancel and reboot.";

void moveTo(int line, int column) { printf("\033[%d;%dH", line, column); }

void moveFixedNamesToFront(std::vector<OfferedPackage>& items) {
  size_t k = 0;
  for (const char* name : FIXED_LEADING_NAMES) {
    auto it = std::find_if(items.begin(), items.end(), [&](const OfferedPackage& p) { return p.record.name == name; });
    if (it != items.end()) {
      OfferedPackage moved = std::move(*it);
      items.erase(it);
      // A short list takes the name at its end.
      items.insert(items.begin() + long(std::min(k, items.size())), std::move(moved));
    }
    ++k;
  }
}

void applyDefaultSelection(PackageMenu& menu, const std::string& medium) {
  FILE* f = fopen((medium + "/defpacks").c_str(), "r");
  if (!f) return;
  for (const std::string& word : readDefaultSelection(f)) {
    const int index = menu.findPackageByName(word);
    if (index >= 0) menu.items[size_t(index)].selected = true;
  }
  fclose(f);
}

// A package's text as the screen may show it: no control bytes that could
// move the cursor or change the terminal (the medium's texts are not signed),
// neither the 7-bit ones nor the 8-bit ones (0x80-0x9F) that a terminal may
// take as an escape introducer.
std::string displayable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const unsigned char b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\n') || b == 0x7F || (b >= 0x80 && b <= 0x9F)) c = ' ';
  }
  return out;
}

// The key after an escape byte: an arrow letter, or the byte itself as a key.
enum Key { KEY_NONE, KEY_UP, KEY_DOWN, KEY_RIGHT, KEY_LEFT, KEY_END };

}  // namespace

std::vector<std::string> readDefaultSelection(FILE* f) {
  std::vector<std::string> words;
  char word[WORD_BUFFER];
  // An over-long word is cut, its rest skipped; a word that starts with a NUL
  // byte names nothing.
  while (fscanf(f, "%91s%*[^ \t\r\n]", word) == 1)
    if (word[0] != '\0') words.push_back(word);
  return words;
}

int PackageMenu::findPackageByName(const std::string& name) const {
  for (size_t i = 0; i < items.size(); ++i)
    if (items[i].record.name == name) return int(i);
  return -1;
}

void PackageMenu::drawItem(int i) const {
  moveTo(MENU_FIRST_LINE + i % rows, MENU_COLUMN_WIDTH * (i / rows));
  putchar(' ');
  if (i == cursor) setAttributes(ATTR_REVERSE);
  printf(" [%c] %s ", items[size_t(i)].selected ? 'X' : ' ', items[size_t(i)].record.name.c_str());
  if (i == cursor) setAttributes(0);
}

void PackageMenu::drawAll() const {
  for (int i = 0; i < int(items.size()); ++i) drawItem(i);
}

void PackageMenu::drawDetails() const {
  for (int line = MENU_DETAILS_LINE; line <= MENU_DETAILS_LINE + MENU_DESCRIPTION_LINES; ++line) {
    moveTo(line, 0);
    fputs("\033[2K", stdout);
  }
  moveTo(MENU_DETAILS_LINE, 0);
  const pkg::PackageRecord& r = items[size_t(cursor)].record;
  std::string depends;
  for (const pkg::DependencyEntry& d : r.depends) depends += (depends.empty() ? "" : ", ") + d.name;
  printf("%s (depends on %s):\n", r.name.c_str(), depends.empty() ? "nothing" : depends.c_str());
  printWrapped(displayable(r.textA).c_str(), MENU_DESCRIPTION_LINES);
}

void PackageMenu::moveUp() {
  if (cursor == 0) return;
  --cursor;
  drawItem(cursor + 1);
  drawItem(cursor);
  drawDetails();
}

void PackageMenu::moveDown() {
  if (cursor + 1 >= int(items.size())) return;
  ++cursor;
  drawItem(cursor - 1);
  drawItem(cursor);
  drawDetails();
}

void PackageMenu::moveAcross(int direction) {
  const int target = cursor + direction * rows;
  if (target < 0 || target >= int(items.size())) return;  // nothing beyond the first or last column
  const int old = cursor;
  cursor = target;
  drawItem(old);
  drawItem(cursor);
}

void PackageMenu::toggleSelection(int i) {
  OfferedPackage& item = items[size_t(i)];
  if (item.selected) {
    if (item.record.name == REQUIRED_PACKAGE) return;
    item.selected = false;
    // The required package stays selected even when it needs this one.
    for (OfferedPackage& other : items)
      if (other.record.name != REQUIRED_PACKAGE && pkg::dependsOn(other.record, item.record)) other.selected = false;
    return;
  }
  item.selected = true;
  for (const pkg::DependencyEntry& d : item.record.depends) {
    const int found = findPackageByName(d.name);
    if (found >= 0 && !items[size_t(found)].selected) toggleSelection(found);
  }
}

void PackageMenu::selectMinimum() {
  for (OfferedPackage& item : items) item.selected = item.record.name == REQUIRED_PACKAGE;
  drawAll();
}

bool loadOfferedPackages(PackageMenu& menu, const std::string& medium) {
  std::vector<pkg::PackageRecord> records;
  std::string bad;
  switch (pkg::scanMedium(medium, records, &bad)) {
    case pkg::MediumScan::NO_PACKAGES:
      printf("FATAL ERROR: No packages found\n");
      return false;
    case pkg::MediumScan::BAD_PACKAGE:
      printf("FATAL ERROR: Bad package %s\n", bad.c_str());
      return false;
    case pkg::MediumScan::OK:
      break;
  }
  for (pkg::PackageRecord& record : records) menu.items.push_back({std::move(record), false});
  moveFixedNamesToFront(menu.items);
  applyDefaultSelection(menu, medium);
  return true;
}

bool runPackageMenu(PackageMenu& menu) {
  menu.rows = (int(menu.items.size()) + 2) / 3;
  TerminalState state;
  enterRawMode(state);
  fputs("\033[2J\033[H", stdout);
  fputs("\033[?25l", stdout);
  setAttributes(ATTR_BOLD);
  for (const char* line = TITLE;;) {
    const char* end = strchr(line, '\n');
    const size_t length = end ? size_t(end - line) : strlen(line);
    printLine(line, length, true);
    if (!end) break;
    line = end + 1;
  }
  setAttributes(0);
  printWrapped(HELP);
  menu.drawAll();
  menu.selectMinimum();
  bool details = true;
  for (;;) {
    if (details) menu.drawDetails();
    details = false;
    int c = getchar();
    Key arrow = KEY_NONE;
    if (c == 27) {
      c = getchar();
      if (c == '[') {
        const int code = getchar();
        arrow = code == 'A' ? KEY_UP : code == 'B' ? KEY_DOWN : code == 'C' ? KEY_RIGHT : code == 'D' ? KEY_LEFT
                : code == EOF ? KEY_END : KEY_NONE;
        if (arrow == KEY_NONE) continue;
      }
    }
    // Input that ends leaves the menu as a cancel would.
    if (c == EOF || arrow == KEY_END) c = 'q';
    if (arrow == KEY_UP) {
      menu.moveUp();
    } else if (arrow == KEY_DOWN) {
      menu.moveDown();
    } else if (arrow == KEY_RIGHT || arrow == KEY_LEFT) {
      menu.moveAcross(arrow == KEY_RIGHT ? 1 : -1);
      details = true;
    } else {
      switch (c == ' ' ? ' ' : c & ~0x20) {
        case 'Q':
        case 'I':
          moveTo(MENU_END_LINE, 0);
          leaveRawMode(state);
          fflush(stdout);
          return (c & ~0x20) == 'I';
        case 'P':
          menu.moveUp();
          break;
        case 'N':
          menu.moveDown();
          break;
        case 'A':
          for (OfferedPackage& item : menu.items) item.selected = true;
          menu.drawAll();
          break;
        case 'M':
          menu.selectMinimum();
          break;
        case ' ':
          menu.toggleSelection(menu.cursor);
          menu.drawAll();
          break;
        default:
          break;
      }
    }
  }
}

void orderSelectedPackages(PackageMenu& menu, std::vector<OfferedPackage*>& order) {
  std::vector<const pkg::PackageRecord*> selected;
  for (OfferedPackage& item : menu.items)
    if (item.selected) selected.push_back(&item.record);
  order.clear();
  for (const pkg::PackageRecord* record : pkg::installOrder(selected))
    for (OfferedPackage& item : menu.items)
      if (&item.record == record) order.push_back(&item);
}

}  // namespace console
