// The gateway's side of the routing rules: the settings it hands the engine,
// the loader, the rule list's texts and the editor's commands.
#include "sms/SmsGateway.h"

#include "base/DiagnosticLog.h"
#include "db/DbErrorText.h"
#include "db/InterfaceDB.h"
#include "db/MessageTables.h"
#include "platform/WireCodePage.h"

#include <algorithm>
#include <cstdlib>

namespace sms {

namespace {

// The longest pattern the table's columns hold, in characters.
constexpr std::size_t PatternLength = 30;

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The priority field's text as a priority: 1 to 9 digits, else 0 (refused).
std::int32_t parsePriority(const std::string& text) {
    const std::string digits = trimmed(text);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    return std::int32_t(std::strtol(digits.c_str(), nullptr, 10));
}

std::string patternOf(const std::string& text) {
    return platform::utf8Left(trimmed(text), PatternLength);
}

std::string recipientsText(const std::vector<std::int32_t>& ids) {
    std::string text;
    for (const std::int32_t id : ids)
        text += (text.empty() ? "" : " ") + std::to_string(id);
    return text;
}

ROUTING_RULE ruleOf(const RoutingRuleDialogData& data, std::int32_t id, std::int32_t priority) {
    return ROUTING_RULE{id, priority, patternOf(data.sender), patternOf(data.line), data.recipients};
}

// Shifts the run of consecutive priorities that starts at `rule`'s priority
// up by one, top first so that no two rows ever share a priority. On edit,
// the edited rule met in the run ends it: its row goes and is written again
// under its own key (`rowDeleted`). `rules` follows the table.
int makeRoom(ServiceSmsRoutingDB& table, const std::vector<ROUTING_RULE>& sorted,
             std::vector<ROUTING_RULE>& rules, const ROUTING_RULE& rule, bool editing, bool& rowDeleted) {
    const auto isEdited = [&](const ROUTING_RULE& r) { return editing && r.nId == rule.nId; };
    std::size_t first = 0;
    while (first < sorted.size() && (sorted[first].nPriority != rule.nPriority || isEdited(sorted[first])))
        ++first;
    if (first == sorted.size())
        return 0;
    std::size_t top = first;
    for (std::size_t i = first + 1; i < sorted.size(); ++i) {
        if (std::int64_t(sorted[i].nPriority) - sorted[i - 1].nPriority > 1)
            break;
        if (isEdited(sorted[i])) {
            table.nId = std::to_string(sorted[i].nId);
            if (const int failed = table.DeleteData())
                return failed;
            rowDeleted = true;
            break;
        }
        top = i;
    }
    for (std::size_t i = top + 1; i-- > first;) {
        const std::int32_t raised = sorted[i].nPriority + 1;
        table.nId = std::to_string(sorted[i].nId);
        table.nPriority = std::to_string(raised);
        if (const int failed = table.UpdatePriority())
            return failed;
        for (ROUTING_RULE& r : rules)
            if (r.nId == sorted[i].nId)
                r.nPriority = raised;
    }
    return 0;
}

} // namespace

void SmsGateway::ApplySmsSettings() {
    const SmsSettingsValues& s = SmsSettings;
    if (!SmsEngine.SetNumberProcessing(s.CountryCode, s.MinCountryNumberLength, s.MaxCountryNumberLength,
                                       s.RemoveCountryCode ? 1 : 0))
        base::WriteLog(1,
                       "Nieprawidłowe ustawienia numerów SMS (prefiks \"%s\", długość od %d do %d): użyto "
                       "domyślnych.",
                       s.CountryCode.c_str(), s.MinCountryNumberLength, s.MaxCountryNumberLength);
    SmsEngine.SetDynamicRouting(s.DynamicRoutingEnabled ? 1 : 0, s.DynamicRoutingValidityPeriod);
}

void SmsGateway::LoadSmsRouting() {
    if (SmsRoutingLoaded) {
        host_.RoutingRulesChanged();
        return;
    }
    // The rules in force are replaced only by rules read: a database away
    // (a restore, an outage) leaves received messages routed as before.
    std::vector<ROUTING_RULE> read;
    if (host_.MainDatabaseOpen()) {
        const db::ConnectionSettings c = host_.MainConnection();
        InterfaceDB front;
        front.SetConnection(c.host, c.path, c.user, c.password);
        SmsRoutingLoaded = front.WyswietlBazeDB("SmsRouting", "nId, nPriority, sSender, sLine, sRecipients",
                                                "0", "", &read) == 0;
    } else {
        host_.StartReconnectTimer();
    }
    if (SmsRoutingLoaded) {
        SmsEngine.RoutingRules = std::move(read);
        SmsEngine.SetRoutingRules();
    }
    host_.RoutingRulesChanged();
}

std::vector<std::string> SmsGateway::RoutingRuleCells(std::size_t index) {
    if (!SmsEngine.RoutingRuleAt(index))
        return {};
    std::vector<std::string> cells;
    for (int column = 0; column < RoutingRuleColumns; ++column)
        cells.push_back(RoutingRuleCell(index, column));
    return cells;
}

std::string SmsGateway::RoutingRuleCell(std::size_t index, int column) {
    const ROUTING_RULE* rule = SmsEngine.RoutingRuleAt(index);
    if (!rule)
        return {};
    switch (column) {
    case 0:
        return std::to_string(rule->nPriority);
    case 1:
        return rule->sSender;
    case 2:
        return rule->sLine;
    case 3:
        return recipientsCell(*rule);
    default:
        return {};
    }
}

std::string SmsGateway::recipientsCell(const ROUTING_RULE& rule) {
    const auto known = std::count_if(rule.sRecipients.begin(), rule.sRecipients.end(),
                                     [this](std::int32_t id) { return host_.IsKnownUser(id); });
    if (known >= 2)
        return std::to_string(rule.sRecipients.size()) + host_.Text("IDS_877");
    if (known == 1)
        return host_.UserNameCallback()(std::to_string(rule.sRecipients.front()));
    return host_.Text("IDS_878");
}

void SmsGateway::AddSmsRoutingRule() {
    RoutingRuleDialogData data{{}, "_", "_", {}};
    if (host_.RunRoutingRuleDialog(data, true) != 1)
        return;
    const std::int32_t priority = parsePriority(data.priority);
    if (priority == 0) {
        host_.ShowNotice(host_.Text("IDS_879"));
        return;
    }
    saveRoutingRule(ruleOf(data, 0, priority), false);
}

void SmsGateway::EditSmsRoutingRule(int selectedRow) {
    const ROUTING_RULE* selected =
        selectedRow < 0 ? nullptr : SmsEngine.RoutingRuleAt(std::size_t(selectedRow));
    if (!selected) {
        host_.ShowNotice(host_.Text("IDS_888"));
        return;
    }
    const ROUTING_RULE rule = *selected;
    RoutingRuleDialogData data{std::to_string(rule.nPriority), rule.sSender, rule.sLine, rule.sRecipients};
    if (host_.RunRoutingRuleDialog(data, false) != 1)
        return;
    const std::int32_t priority = parsePriority(data.priority);
    if (priority == 0) {
        host_.ShowNotice(host_.Text("IDS_879"));
        return;
    }
    saveRoutingRule(ruleOf(data, rule.nId, priority), true);
}

void SmsGateway::saveRoutingRule(ROUTING_RULE rule, bool editing) {
    const db::ConnectionSettings c = host_.MainConnection();
    ServiceSmsRoutingDB table(c.host, c.path, c.user, c.password);
    std::vector<ROUTING_RULE> rules = SmsEngine.RoutingRules;
    const char* failedText = "IDS_880";
    bool rowDeleted = false;
    int failed = table.BeginWork();
    if (failed == 0)
        failed = makeRoom(table, SmsEngine.SortedRoutingRules, rules, rule, editing, rowDeleted);
    if (failed == 0) {
        failedText = "IDS_882";
        table.nPriority = std::to_string(rule.nPriority);
        table.sSender = rule.sSender;
        table.sLine = rule.sLine;
        table.sRecipients = recipientsText(rule.sRecipients);
        if (editing) {
            table.nId = std::to_string(rule.nId);
            failed = rowDeleted ? table.InsertDataGivenId() : table.UpdateData();
        } else {
            failed = table.InsertDataWithId();
        }
    }
    failed = failed == 0 ? table.CommitWork() : (table.RollbackWork(), failed);
    if (failed != 0) {
        host_.ShowError(host_.Text(failedText) + GetDbErrorText(failed));
        SmsEngine.SetRoutingRules();
        return;
    }
    if (editing) {
        for (ROUTING_RULE& r : rules)
            if (r.nId == rule.nId)
                r = rule;
    } else {
        rule.nId = std::int32_t(std::strtol(table.nId.c_str(), nullptr, 10));
        rules.push_back(rule);
    }
    SmsEngine.RoutingRules = std::move(rules);
    SmsEngine.SetRoutingRules();
    host_.RoutingRulesChanged();
}

void SmsGateway::DeleteSmsRoutingRule(int selectedRow) {
    const ROUTING_RULE* selected =
        selectedRow < 0 ? nullptr : SmsEngine.RoutingRuleAt(std::size_t(selectedRow));
    if (!selected) {
        host_.ShowNotice(host_.Text("IDS_890"));
        return;
    }
    const db::ConnectionSettings c = host_.MainConnection();
    ServiceSmsRoutingDB table(c.host, c.path, c.user, c.password);
    table.nId = std::to_string(selected->nId);
    if (const int failed = table.DeleteData()) {
        host_.ShowError(host_.Text("IDS_891") + GetDbErrorText(failed));
    } else {
        SmsEngine.RoutingRules.erase(SmsEngine.RoutingRules.begin() + selectedRow);
        host_.RoutingRuleRemoved(selectedRow);
    }
    SmsEngine.SetRoutingRules();
}

} // namespace sms
