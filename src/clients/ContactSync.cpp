#include "clients/ContactSync.h"

#include "base/CommandParserGenerator.h"
#include "platform/WireCodePage.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace clients {
namespace {

using Fields = CommandParserGenerator::Fields;

// Fields in the order the messages carry them.
Fields contactFields(const ContactRow& r) {
    return {r.idContactPriv, r.JobPosition,
            r.Name,          r.FirstName,
            r.Phone,         r.Home,
            r.Mobile,        r.Mail,
            r.www,           r.Company,
            r.Address,       r.City,
            r.PostCode,      std::to_string(r.nGroupId)};
}

std::string message(const char* keyword, const Fields& fields) {
    return std::string("!") + keyword + "&" + CommandParserGenerator::Generate(fields);
}

// Leading blanks, a sign, digits up to the first other character; no digits
// give 0. Out-of-range values are held at the limits.
int toInt(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL + INT_MAX);
    value = negative ? -value : value;
    return int(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// One request: its end behind the first CR LF that no escape covers (a lone
// CR inside a field belongs to the field), and its fields in UTF-8; no
// fields when its end is escaped.
struct Request {
    DbSynchronizer::End end;
    Fields fields;
};

Request split(std::string_view text) {
    bool escaped = false;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (escaped) {
            escaped = false;
            continue;
        }
        if (text[i] == '\\') {
            escaped = true;
            continue;
        }
        if (text[i] == '\r' && text[i + 1] == '\n') {
            Request r{i + 2, CommandParserGenerator::Parse(std::string(text.substr(0, i + 2)))};
            for (std::string& f : r.fields)
                f = platform::fromWire(f);
            return r;
        }
    }
    // Only an escaped CR LF: taken whole, changing nothing.
    const std::size_t plain = text.find("\r\n");
    return {plain == std::string_view::npos ? DbSynchronizer::End{} : DbSynchronizer::End{plain + 2}, {}};
}

// The request's fields when they are `count` and the id is not 0.
const Fields* usable(const Request& r, std::size_t count) {
    return r.fields.size() == count && toInt(r.fields[0]) != 0 ? &r.fields : nullptr;
}

void fillContact(ContactRow& row, const Fields& f) {
    row.JobPosition = f[1];
    row.Name = f[2];
    row.FirstName = f[3];
    row.Phone = f[4];
    row.Home = f[5];
    row.Mobile = f[6];
    row.Mail = f[7];
    row.www = f[8];
    row.Company = f[9];
    row.Address = f[10];
    row.City = f[11];
    row.PostCode = f[12];
    row.nGroupId = toInt(f[13]);
}

std::vector<ContactRow>::iterator findContact(std::vector<ContactRow>& rows, const std::string& id) {
    return std::find_if(rows.begin(), rows.end(), [&](const ContactRow& r) { return r.idContactPriv == id; });
}

void tell(ContactRowChange* change, ContactRowChange::Kind kind, std::size_t row) {
    if (change)
        *change = {kind, row};
}

} // namespace

std::string DbSynchronizer::WyslijDbDodaj(const ContactRow& row) {
    return message("DB_ADD", contactFields(row));
}

std::string DbSynchronizer::WyslijDbZmien(const ContactRow& row) {
    return message("DB_UPD", contactFields(row));
}

std::string DbSynchronizer::WyslijDbUsun(const std::string& id) {
    return message("DB_DEL", {id});
}

std::string DbSynchronizer::WyslijDbgDodaj(const std::string& groupId, const std::string& name) {
    return message("DBG_ADD", {groupId, name});
}

std::string DbSynchronizer::WyslijDbgUsun(const std::string& groupId) {
    return message("DBG_DEL", {groupId});
}

DbSynchronizer::End DbSynchronizer::CzytajDbDodaj(std::vector<ContactRow>& rows, std::string_view text,
                                                  ContactRowChange* change) {
    const Request r = split(text);
    if (const Fields* f = usable(r, 14); f && findContact(rows, (*f)[0]) == rows.end()) {
        ContactRow row;
        row.idContactPriv = (*f)[0];
        fillContact(row, *f);
        rows.push_back(std::move(row));
        Changed = true;
        tell(change, ContactRowChange::Added, rows.size() - 1);
    }
    return r.end;
}

DbSynchronizer::End DbSynchronizer::CzytajDbZmien(std::vector<ContactRow>& rows, std::string_view text,
                                                  ContactRowChange* change) {
    const Request r = split(text);
    if (const Fields* f = usable(r, 14)) {
        if (auto it = findContact(rows, (*f)[0]); it != rows.end()) {
            fillContact(*it, *f);
            Changed = true;
            tell(change, ContactRowChange::Changed, std::size_t(it - rows.begin()));
        }
    }
    return r.end;
}

DbSynchronizer::End DbSynchronizer::CzytajDbUsun(std::vector<ContactRow>& rows, std::string_view text,
                                                 ContactRowChange* change) {
    const Request r = split(text);
    if (const Fields* f = usable(r, 1)) {
        if (auto it = findContact(rows, (*f)[0]); it != rows.end()) {
            tell(change, ContactRowChange::Removed, std::size_t(it - rows.begin()));
            rows.erase(it);
            Changed = true;
        }
    }
    return r.end;
}

DbSynchronizer::End DbSynchronizer::CzytajDbgDodaj(std::map<int, std::string>& groups,
                                                   std::string_view text) {
    const Request r = split(text);
    if (const Fields* f = usable(r, 2)) {
        groups[toInt((*f)[0])] = (*f)[1];
        Changed = true;
    }
    return r.end;
}

DbSynchronizer::End DbSynchronizer::CzytajDbgUsun(std::map<int, std::string>& groups, std::string_view text) {
    const Request r = split(text);
    if (const Fields* f = usable(r, 1)) {
        // The entry stays, with no name: a removed group.
        groups[toInt((*f)[0])].clear();
        Changed = true;
    }
    return r.end;
}

} // namespace clients
