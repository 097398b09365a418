#include "backup/view_order.h"

#include <cctype>
#include <functional>
#include <queue>
#include <unordered_map>
#include <vector>

#include "backup/backup_format.h"

namespace {

bool isWordByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}

bool isAscii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// A character set name as the server gives it, fit to stand in a statement.
bool isCharsetName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

// Whether names are the same bytes in both character sets: every utf8
// spelling writes the names it can hold alike.
bool namesAlike(const std::string& one, const std::string& other) {
  return one == other || (one.compare(0, 4, "utf8") == 0 &&
                          other.compare(0, 4, "utf8") == 0);
}

// The statement is read once, unconverted, in the character set of the
// client that made the view, for it is written that way. The names in it
// are matched against the inventory's, which are in the connection's: a
// text that is not plain ASCII in another character set is converted by
// the server. Should that fail, the view is ordered by its unconverted
// text (at worst out of order, never lost).
std::string definitionInConnectionCharset(db::Session& session,
                                          const ObjectDefinition& view) {
  if (!view.error.empty()) return "";
  // A statement larger than the server takes in one packet would cost the
  // connection; such a view keeps its unconverted text.
  constexpr size_t kConvertedAtMost = size_t{1} << 20;
  if (isAscii(view.createText) ||
      namesAlike(view.characterSet, session.characterSetName()) ||
      !isCharsetName(view.characterSet) ||
      view.createText.size() > kConvertedAtMost)
    return view.createText;
  db::Rows rows;
  if (!session.select("SELECT CONVERT(_binary X'" + backup_format::hexDigits(view.createText) +
                          "' USING " + view.characterSet + ")",
                      &rows) ||
      rows.size() == 0 || rows.isNull(0, 0))
    return view.createText;
  return rows.text(0, 0);
}

}  // namespace

// A substring search would take aliases and column names for reads, and
// the false cycles they make would put a view before the one it reads.
std::set<std::string> namesReadBy(const std::string& definition,
                                  const std::string& view,
                                  const std::string& database) {
  const std::string quoted = backup_format::quoteIdentifier(view) + " AS ";
  size_t i = definition.find(quoted);
  i = i == std::string::npos ? 0 : i + quoted.size();
  std::set<std::string> names;
  std::string previous;   // the token before: a word in upper case, or a mark
  std::string qualifier;  // the name before a "."
  std::string lastName;
  while (i < definition.size()) {
    char c = definition[i];
    if (c == '`') {
      std::string name;
      for (++i; i < definition.size(); ++i) {
        if (definition[i] == '`') {
          if (i + 1 < definition.size() && definition[i + 1] == '`') {
            name += '`';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        name += definition[i];
      }
      bool column = previous == "." && qualifier != database;
      if (previous != "AS" && !column) names.insert(name);
      lastName = name;
      previous = "`";
    } else if (c == '\'' || c == '"') {
      for (++i; i < definition.size() && definition[i] != c; ++i)
        if (definition[i] == '\\') ++i;
      ++i;
      previous = "'";
    } else if (isWordByte(c)) {
      size_t start = i;
      while (i < definition.size() && isWordByte(definition[i])) ++i;
      previous = definition.substr(start, i - start);
      for (char& letter : previous)
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else {
      qualifier = c == '.' && previous == "`" ? lastName : std::string();
      previous = std::string(1, c);
      ++i;
    }
  }
  return names;
}

// Base tables keep the server's order and come first; views follow, each
// after the views its definition reads from, so that a restore can create
// every view; views the server cannot use come last, so that the error
// their restore meets stops nothing else.
void orderViews(db::Session& session, const std::string& database,
                Inventory* inventory) {
  std::vector<TableEntry>* tables = &inventory->tables;
  std::vector<TableEntry> ordered;
  std::vector<TableEntry> views;
  std::vector<std::string> definitions;
  for (TableEntry& entry : *tables) {
    if (!entry.isView) {
      ordered.push_back(std::move(entry));
      continue;
    }
    auto found = inventory->viewDefinitions.find(entry.name);
    definitions.push_back(found == inventory->viewDefinitions.end()
                              ? std::string()
                              : definitionInConnectionCharset(session, found->second));
    views.push_back(std::move(entry));
  }
  // Topological order: a view waits for the views it reads; among the
  // ready ones, usable views before unusable ones, then server order.
  std::unordered_map<std::string, size_t> viewAt;
  for (size_t i = 0; i < views.size(); ++i) viewAt.emplace(views[i].name, i);
  std::vector<std::vector<size_t>> readers(views.size());
  std::vector<size_t> waitingFor(views.size(), 0);
  for (size_t i = 0; i < views.size(); ++i) {
    for (const std::string& name :
         namesReadBy(definitions[i], views[i].name, database)) {
      auto found = viewAt.find(name);
      if (found == viewAt.end() || found->second == i) continue;
      readers[found->second].push_back(i);
      ++waitingFor[i];
    }
  }
  using Key = std::pair<bool, size_t>;  // (unusable, server position)
  std::priority_queue<Key, std::vector<Key>, std::greater<Key>> ready;
  for (size_t i = 0; i < views.size(); ++i)
    if (waitingFor[i] == 0) ready.push({!views[i].viewUsable, i});
  std::vector<bool> placed(views.size(), false);
  size_t firstUnplaced = 0;
  for (size_t round = 0; round < views.size(); ++round) {
    size_t pick;
    if (!ready.empty()) {
      pick = ready.top().second;
      ready.pop();
    } else {  // a cycle: take the first view left in server order
      while (placed[firstUnplaced]) ++firstUnplaced;
      pick = firstUnplaced;
    }
    placed[pick] = true;
    ordered.push_back(std::move(views[pick]));
    for (size_t reader : readers[pick])
      if (!placed[reader] && --waitingFor[reader] == 0)
        ready.push({!views[reader].viewUsable, reader});
  }
  *tables = std::move(ordered);
}
