#include "backup/change_rules.h"

#include <cctype>
#include <sstream>
#include <utility>
#include <vector>

#include <strings.h>

#include "backup/console_text.h"

namespace change_rules {
namespace {

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// "key=value" words of a settings text, in order.
std::vector<std::pair<std::string, std::string>> settingWords(
    const std::string& text) {
  std::vector<std::pair<std::string, std::string>> words;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos) continue;
    words.emplace_back(word.substr(0, equals), word.substr(equals + 1));
  }
  return words;
}

// The start of an InnoDB table's lasting identity: the engine and the
// create time, then the parts.
std::string innodbPrefix(time_t created) {
  return "InnoDB " + std::to_string(created) + " ";
}

}  // namespace

void addTransactionStart(time_t start, TransactionSeconds* seconds) {
  seconds->insert(start - 3600);
  seconds->insert(start);
  seconds->insert(start + 3600);
}

bool updateTimeSettled(time_t update, time_t serverNow,
                       const TransactionSeconds& openTransactions) {
  return update < serverNow && openTransactions.count(update) == 0;
}

void addInnodbPart(const std::string& suffix, const std::string& tableId,
                   const std::string& space, std::string* parts) {
  if (!parts->empty()) *parts += ' ';
  *parts += suffix + ":" + tableId + ":" + space;
}

std::string lastingIdentity(const std::string& engine, const std::string& rows,
                            const std::string& dataLength, time_t created,
                            const std::string* innodbParts) {
  if (strcasecmp(engine.c_str(), "InnoDB") == 0) {
    if (innodbParts == nullptr || innodbParts->empty() || created < 0) return "";
    return innodbPrefix(created) + *innodbParts;
  }
  if (strcasecmp(engine.c_str(), "MyISAM") == 0) {
    if (!allDigits(rows) || !allDigits(dataLength) || created < 0) return "";
    return "MyISAM " + rows + " " + dataLength + " " + std::to_string(created);
  }
  return "";
}

std::string carriedInnodbIdentity(const std::string& previous, time_t created) {
  const size_t blank = previous.find(' ');
  if (created < 0 || blank == std::string::npos) return "";
  const std::string prefix = innodbPrefix(created);
  if (previous.compare(blank + 1, prefix.size(), prefix) != 0 ||
      previous.size() <= blank + 1 + prefix.size())
    return "";
  return previous.substr(blank + 1);
}

std::string tableIdentity(time_t update, const std::string& lasting) {
  return lasting.empty() ? "" : std::to_string(update) + " " + lasting;
}

std::string identityWithoutTime(const std::string& lasting) {
  return lasting.empty() ? "" : "- " + lasting;
}

bool sameLastingIdentity(const std::string& lasting, const std::string& previous) {
  const size_t blank = previous.find(' ');
  return !lasting.empty() && blank != std::string::npos &&
         previous.compare(blank + 1, std::string::npos, lasting) == 0;
}

bool sameIdentity(const std::string& now, const std::string& previous) {
  return !now.empty() && now == previous;
}

std::string settingsRefusal(const std::string& previous, const std::string& now) {
  if (previous.empty())
    return console_text::previousSettingsUnknown();
  const auto before = settingWords(previous);
  std::string changes;
  for (const auto& setting : settingWords(now)) {
    std::string old = "?";
    for (const auto& word : before)
      if (word.first == setting.first) old = word.second;
    if (old == setting.second) continue;
    if (!changes.empty()) changes += "; ";
    changes += setting.first + "=" + old + console_text::kNow + setting.second;
  }
  if (changes.empty()) return "";
  return console_text::previousSettingsDiffer(changes);
}

}  // namespace change_rules
