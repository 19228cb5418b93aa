// An open key of a branch: its values read back and written, each write
// under the file's lock or handed to the writer thread.
#include "platform/RegistryStore.h"

#include "platform/RegistryInternal.h"

#include <optional>

namespace platform {
using namespace registry;

bool RegistryKey::handedOn(const std::string& path, const RegistryValue* value, bool onlyAsDefault,
                           bool lockBusy) {
    BackgroundWriter& writer = BackgroundWriter::instance();
    if (!writer.on || laterWriteDeadline)
        return false;
    // A lock that is only busy hands the write on; one this user could not
    // write anyway fails here as before.
    if (lockBusy ? !file_.canWrite() : !writer.waiting(file_.filePath()))
        return false;
    writer.add({branch_, file_.filePath(), normalisedPath(path),
                value ? std::optional<RegistryValue>(*value) : std::nullopt, onlyAsDefault,
                LockClock::now() + WriteLock::Wait});
    return true;
}

RegistryKey::RegistryKey(RegistryBranch branch) : RegistryKey(branch, registryFilePath(branch)) {}

RegistryKey::RegistryKey(RegistryBranch branch, std::string file) : branch_(branch), file_(std::move(file)) {}

bool RegistryKey::OpenKey(const std::string& path, bool canCreate) {
    CloseKey();
    if (!file_.load())
        return false;
    if (!file_.findKey(path)) {
        if (!canCreate)
            return false;
        // Held until the key is saved.
        std::optional<WriteLock> lock;
        bool handed = handedOn(path, nullptr, false, false);
        if (!handed) {
            lock.emplace(file_.filePath(), lockDeadline());
            handed = lock->busy() && handedOn(path, nullptr, false, true);
            if (!handed && (!mayWrite(*lock, file_) || !file_.load()))
                return false;
        }
        if (handed || file_.findKey(path)) {
            open_ = true;
            path_ = normalisedPath(path);
            return true;
        }
        file_.addKey(path);
        if (!file_.save()) {
            // Not written: not there either, or a later look finds it.
            file_.removeKey(path);
            throwIfDiskRefused();
            return false;
        }
    }
    open_ = true;
    path_ = normalisedPath(path);
    return true;
}

void RegistryKey::CloseKey() {
    open_ = false;
    path_.clear();
}

// Every operation loads the file again (RegistryFile::load), so that
// several key objects (and several sections of the settings) never
// overwrite each other's values.
RegistryFile::Key& RegistryKey::openKey() {
    if (!open_)
        throw RegistryError("No key is open");
    if (!file_.load())
        throw RegistryError("Failed to read " + file_.filePath());
    return file_.addKey(path_);
}

// What the file holds, with the writes still waiting for its lock made:
// a value just written reads back as written.
std::optional<RegistryValue> RegistryKey::current(const std::string& name) {
    const auto& values = openKey().values;
    const auto it = values.find(lowered(name));
    std::optional<RegistryValue> value;
    if (it != values.end())
        value = it->second;
    if (!laterWriteDeadline)
        BackgroundWriter::instance().applyWaiting(file_.filePath(), path_, name, value);
    return value;
}

bool RegistryKey::ValueExists(const std::string& name) {
    return open_ && current(name).has_value();
}

std::string RegistryKey::ReadString(const std::string& name) {
    const std::optional<RegistryValue> value = current(name);
    if (!value)
        return {};
    if (value->type != RegistryValue::Type::String)
        throw RegistryError("Invalid data type for '" + name + "'");
    return value->text;
}

int RegistryKey::ReadInteger(const std::string& name) {
    const std::optional<RegistryValue> value = current(name);
    if (!value)
        throw RegistryError("Failed to get data for '" + name + "'");
    if (value->type != RegistryValue::Type::Dword)
        throw RegistryError("Invalid data type for '" + name + "'");
    return int(value->dword);
}

bool RegistryKey::write(RegistryValue value, bool onlyAsDefault) {
    if (open_ && handedOn(path_, &value, onlyAsDefault, false))
        return true;
    const WriteLock lock(file_.filePath(), lockDeadline());
    if (open_ && lock.busy() && handedOn(path_, &value, onlyAsDefault, true))
        return true;
    if (!mayWrite(lock, file_))
        throw RegistryError("Failed to set data for '" + value.name + "'");
    auto& values = openKey().values;
    const std::string id = lowered(value.name);
    auto it = values.find(id);
    if (onlyAsDefault && it != values.end() && isStored(it->second, value.type))
        return false;
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
        throwIfDiskRefused();
        throw RegistryError("Failed to set data for '" + value.name + "'");
    }
    return true;
}

void RegistryKey::WriteString(const std::string& name, const std::string& value) {
    write({name, RegistryValue::Type::String, value, 0});
}

void RegistryKey::WriteInteger(const std::string& name, int value) {
    write({name, RegistryValue::Type::Dword, {}, std::uint32_t(value)});
}

bool RegistryKey::WriteDefaultString(const std::string& name, const std::string& value) {
    return write({name, RegistryValue::Type::String, value, 0}, true);
}

bool RegistryKey::WriteDefaultInteger(const std::string& name, int value) {
    return write({name, RegistryValue::Type::Dword, {}, std::uint32_t(value)}, true);
}

bool RegistryKey::DeleteValue(const std::string& name) {
    const WriteLock lock(file_.filePath(), LockClock::now() + WriteLock::Wait);
    if (!mayWrite(lock, file_))
        return false;
    auto& values = openKey().values;
    if (values.erase(lowered(name)) == 0)
        return false;
    if (file_.save())
        return true;
    throwIfDiskRefused();
    return false;
}

void RegistryKey::throwIfDiskRefused() const {
    if (file_.diskRefused())
        throw RegistryDiskError("the disk refused the write of " + file_.filePath() + ": " +
                                file_.lastRefusal());
}

} // namespace platform
