#include "platform/RegistryStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <cstdio>
#include <sstream>

namespace platform {
namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c < 0x80 ? char(std::tolower(c)) : char(c); });
    return text;
}

std::string normalisedPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    while (!path.empty() && path.front() == '\\')
        path.erase(path.begin());
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return path;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Reads a quoted text starting at `pos` (at the opening quote); moves `pos`
// past the closing quote. False when the quote is not closed.
bool readQuoted(const std::string& line, std::size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < line.size()) {
            const char n = line[++pos];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += c;
        }
    }
    return false;
}

bool parseValueLine(const std::string& line, RegistryValue& value) {
    std::size_t pos = 0;
    if (!readQuoted(line, pos, value.name) || pos >= line.size() || line[pos] != '=')
        return false;
    ++pos;
    if (line.compare(pos, 6, "dword:") == 0) {
        value.type = RegistryValue::Type::Dword;
        try {
            value.dword = std::uint32_t(std::stoul(line.substr(pos + 6), nullptr, 16));
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }
    value.type = RegistryValue::Type::String;
    return readQuoted(line, pos, value.text);
}

std::string homeConfigDir() {
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (!xdg.isEmpty())
        return xdg.toStdString();
    return QDir::homePath().toStdString() + "/.config";
}

} // namespace

std::string registryFilePath(RegistryBranch branch) {
    const QByteArray dir = qgetenv("HALVEX_REGISTRY_DIR");
    if (!dir.isEmpty())
        return dir.toStdString() + (branch == RegistryBranch::Machine ? "/machine.reg" : "/user.reg");
    if (branch == RegistryBranch::Machine)
        return "/etc/vorlin/halvex.reg";
    return homeConfigDir() + "/vorlin/halvex.reg";
}

std::string RegistryFile::serialise(const std::map<std::string, Key>& keys) {
    std::ostringstream out;
    out << "Windows Registry Editor Version 5.00\r\n";
    for (const auto& [id, key] : keys) {
        out << "\r\n[" << key.path << "]\r\n";
        for (const auto& [name, value] : key.values) {
            out << '"' << escaped(value.name) << "\"=";
            if (value.type == RegistryValue::Type::Dword) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "dword:%08x", value.dword);
                out << hex;
            } else {
                out << '"' << escaped(value.text) << '"';
            }
            out << "\r\n";
        }
    }
    return out.str();
}

std::map<std::string, RegistryFile::Key> RegistryFile::parse(const std::string& text) {
    std::map<std::string, Key> keys;
    Key* current = nullptr;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string path = normalisedPath(line.substr(1, line.size() - 2));
            Key& key = keys[lowered(path)];
            key.path = path;
            current = &key;
            continue;
        }
        RegistryValue value;
        if (current && parseValueLine(line, value))
            current->values[lowered(value.name)] = value;
    }
    return keys;
}

bool RegistryFile::load() {
    QFile file(QString::fromStdString(filePath_));
    if (!file.exists()) {
        keys_.clear();
        return true;
    }
    // A file that cannot be read keeps what was read before: writing back an
    // empty branch would lose every setting.
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError || text.size() != file.size())
        return false;
    keys_ = parse(text.toStdString());
    return true;
}

bool RegistryFile::save() const {
    const QString path = QString::fromStdString(filePath_);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const std::string text = serialise(keys_);
    file.write(text.data(), qint64(text.size()));
    return file.commit();
}

RegistryFile::Key* RegistryFile::findKey(const std::string& path) {
    auto it = keys_.find(lowered(normalisedPath(path)));
    return it == keys_.end() ? nullptr : &it->second;
}

RegistryFile::Key& RegistryFile::addKey(const std::string& path) {
    const std::string normal = normalisedPath(path);
    Key& key = keys_[lowered(normal)];
    if (key.path.empty())
        key.path = normal;
    return key;
}

RegistryKey::RegistryKey(RegistryBranch branch) : branch_(branch), file_(registryFilePath(branch)) {}

bool RegistryKey::OpenKey(const std::string& path, bool canCreate) {
    CloseKey();
    if (!file_.load())
        return false;
    if (!file_.findKey(path)) {
        if (!canCreate)
            return false;
        file_.addKey(path);
        if (!file_.save())
            return false;
    }
    open_ = true;
    path_ = normalisedPath(path);
    return true;
}

void RegistryKey::CloseKey() {
    open_ = false;
    path_.clear();
}

// Every operation reads the file again, so that several key objects (and
// several sections of the settings) never overwrite each other's values.
RegistryFile::Key& RegistryKey::openKey() {
    if (!open_)
        throw RegistryError("No key is open");
    if (!file_.load())
        throw RegistryError("Failed to read " + file_.filePath());
    return file_.addKey(path_);
}

bool RegistryKey::ValueExists(const std::string& name) {
    return open_ && openKey().values.count(lowered(name)) > 0;
}

std::string RegistryKey::ReadString(const std::string& name) {
    auto& values = openKey().values;
    auto it = values.find(lowered(name));
    if (it == values.end())
        return {};
    if (it->second.type != RegistryValue::Type::String)
        throw RegistryError("Invalid data type for '" + name + "'");
    return it->second.text;
}

int RegistryKey::ReadInteger(const std::string& name) {
    auto& values = openKey().values;
    auto it = values.find(lowered(name));
    if (it == values.end())
        throw RegistryError("Failed to get data for '" + name + "'");
    if (it->second.type != RegistryValue::Type::Dword)
        throw RegistryError("Invalid data type for '" + name + "'");
    return int(it->second.dword);
}

void RegistryKey::write(RegistryValue value) {
    auto& values = openKey().values;
    const std::string id = lowered(value.name);
    auto it = values.find(id);
    if (it != values.end())
        value.name = it->second.name; // keep the name as first written
    const RegistryValue previous = it != values.end() ? it->second : RegistryValue();
    const bool existed = it != values.end();
    values[id] = value;
    if (!file_.save()) {
        if (existed)
            values[id] = previous;
        else
            values.erase(id);
        throw RegistryError("Failed to set data for '" + value.name + "'");
    }
}

void RegistryKey::WriteString(const std::string& name, const std::string& value) {
    write({name, RegistryValue::Type::String, value, 0});
}

void RegistryKey::WriteInteger(const std::string& name, int value) {
    write({name, RegistryValue::Type::Dword, {}, std::uint32_t(value)});
}

bool RegistryKey::DeleteValue(const std::string& name) {
    auto& values = openKey().values;
    if (values.erase(lowered(name)) == 0)
        return false;
    return file_.save();
}

} // namespace platform
