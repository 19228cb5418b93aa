#include "platform/DbaseTable.h"

#include "platform/WireCodePage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace platform {
namespace {

constexpr std::size_t HeaderBytes = 32;
constexpr std::size_t DescriptorBytes = 32;
constexpr char DescriptorEnd = 0x0D;
constexpr char DeletedMark = '*';
constexpr char MemoEnd = 0x1A;

std::uint32_t le32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(u[0]) | std::uint32_t(u[1]) << 8 | std::uint32_t(u[2]) << 16 |
           std::uint32_t(u[3]) << 24;
}

std::uint16_t le16(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint16_t(u[0] | u[1] << 8);
}

std::string trimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

bool isNumeric(char type) {
    return type == 'N' || type == 'F' || type == 'I' || type == '+';
}

// The language driver bytes whose code pages the texts may come in.
struct LanguageDriver {
    std::uint8_t id;
    const char* codePage;
};
constexpr LanguageDriver LanguageDrivers[] = {
    {0x64, "IBM852"}, {0x65, "IBM866"}, {0x26, "IBM866"}, {0xC8, "windows-1250"}, {0xC9, "windows-1251"}};

} // namespace

const char* DbaseTable::CodePageOf(std::uint8_t languageDriver, const char* fallback) {
    for (const LanguageDriver& driver : LanguageDrivers)
        if (driver.id == languageDriver)
            return driver.codePage;
    return fallback;
}

bool DbaseTable::Open(const std::string& path, std::string* error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return *error = file.errorString().toStdString(), false;
    if (file.size() > MaxTableBytes)
        return *error = "the table file is larger than the program reads", false;
    QByteArray table = file.readAll();
    if (table.size() != file.size())
        return *error = "the table file could not be read whole", false;
    const QFileInfo info(QString::fromStdString(path));
    const std::string memoPath =
        FindFileAnyCase(info.absolutePath().toStdString(), info.completeBaseName().toStdString() + ".dbt");
    std::unique_ptr<QIODevice> memo;
    if (!memoPath.empty())
        memo = std::make_unique<QFile>(QString::fromStdString(memoPath));
    return Open(std::move(table), std::move(memo), error);
}

bool DbaseTable::Open(QByteArray table, std::unique_ptr<QIODevice> memo, std::string* error) {
    data_ = std::move(table);
    memo_ = std::move(memo);
    fields_.clear();
    return readHeader(error) && readMemoHeader(error);
}

bool DbaseTable::readHeader(std::string* error) {
    const std::size_t size = std::size_t(data_.size());
    if (size < HeaderBytes + 1)
        return *error = "the file is too short for a table header", false;
    const char* bytes = data_.constData();
    recordCount_ = le32(bytes + 4);
    headerSize_ = le16(bytes + 8);
    recordSize_ = le16(bytes + 10);
    codePage_ = CodePageOf(std::uint8_t(bytes[29]), wireCodePageName());
    if (headerSize_ < HeaderBytes + 1 || headerSize_ > size || recordSize_ < 2)
        return *error = "the header gives impossible sizes", false;
    std::size_t at = HeaderBytes;
    int offset = 1;
    while (at < headerSize_ && bytes[at] != DescriptorEnd) {
        if (at + DescriptorBytes > headerSize_)
            return *error = "a field descriptor runs past the header", false;
        DbaseField field;
        field.name.assign(bytes + at, strnlen(bytes + at, 11));
        field.type = bytes[at + 11];
        field.length = std::uint8_t(bytes[at + 16]);
        field.offset = offset;
        if (field.length == 0)
            return *error = "field " + field.name + " has no length", false;
        offset += field.length;
        fields_.push_back(field);
        at += DescriptorBytes;
    }
    if (at >= headerSize_ || fields_.empty())
        return *error = "the field list has no end or no field", false;
    if (std::size_t(offset) > recordSize_)
        return *error = "the fields are longer than the record", false;
    if (std::uint64_t(headerSize_) + std::uint64_t(recordCount_) * recordSize_ > size)
        return *error = "the file ends before its last record", false;
    return true;
}

bool DbaseTable::readMemoHeader(std::string* error) {
    if (std::none_of(fields_.begin(), fields_.end(), [](const DbaseField& f) { return f.type == 'M'; }))
        return true;
    if (!memo_)
        return *error = "the memo file is missing", false;
    if (!memo_->isOpen() && !memo_->open(QIODevice::ReadOnly))
        return *error = "the memo file cannot be read: " + memo_->errorString().toStdString(), false;
    const QByteArray header = memo_->read(HeaderBytes);
    const std::uint8_t version = std::uint8_t(data_[0]);
    // dBase IV memo files give their block size and mark each block; dBase
    // III ones use 512-byte blocks ended by 0x1A.
    memoBlockSize_ = 512;
    if ((version == 0x8B || version == 0x8E) && header.size() == qsizetype(HeaderBytes)) {
        const std::uint16_t blockSize = le16(header.constData() + 20);
        if (blockSize >= 32)
            memoBlockSize_ = blockSize;
    }
    return true;
}

bool DbaseTable::IsDeleted(std::size_t record) const {
    return data_[qsizetype(headerSize_ + record * recordSize_)] == DeletedMark;
}

std::string DbaseTable::rawField(std::size_t record, const DbaseField& field) const {
    const std::size_t at = headerSize_ + record * recordSize_ + std::size_t(field.offset);
    return std::string(data_.constData() + at, std::size_t(field.length));
}

std::string DbaseTable::memoText(const std::string& pointer, std::size_t limit) const {
    std::uint64_t block = 0;
    if (pointer.size() == 4) {
        block = le32(pointer.data());
    } else {
        for (char c : pointer) {
            if (c >= '0' && c <= '9')
                block = block * 10 + std::uint64_t(c - '0');
            else if (c != ' ' && c != '\0')
                return {};
            if (block > std::uint64_t(1) << 40)
                return {};
        }
    }
    const std::uint64_t offset = block * memoBlockSize_;
    if (!memo_ || block == 0 || offset >= std::uint64_t(memo_->size()) || !memo_->seek(qint64(offset)))
        return {};
    QByteArray text = memo_->read(qint64(limit) + 8);
    if (text.startsWith(QByteArray("\xFF\xFF\x08\x00", 4)) && text.size() >= 8) {
        const std::uint32_t length = le32(text.constData() + 4);
        text = text.mid(8, length >= 8 ? qsizetype(std::min<std::uint64_t>(length - 8, limit)) : 0);
    } else {
        const qsizetype end = text.indexOf(MemoEnd);
        text.truncate(std::min<qsizetype>(end < 0 ? text.size() : end, qsizetype(limit)));
    }
    return text.left(qsizetype(limit)).toStdString();
}

std::string DbaseTable::decode(const std::string& bytes) const {
    QStringDecoder decoder(codePage_.c_str());
    if (!decoder.isValid())
        decoder = QStringDecoder(wireCodePageName());
    return QString(decoder(QByteArray::fromStdString(bytes))).toStdString();
}

std::string DbaseTable::Value(std::size_t record, std::size_t index, std::size_t memoLimit) const {
    const DbaseField& field = fields_.at(index);
    const std::string raw = rawField(record, field);
    if (field.type == 'M')
        return trimRight(decode(memoText(raw, memoLimit)));
    if ((field.type == 'I' || field.type == '+') && raw.size() == 4)
        return std::to_string(std::int32_t(le32(raw.data())));
    std::string text = trimRight(decode(raw));
    if (isNumeric(field.type))
        text.erase(0, std::min(text.find_first_not_of(' '), text.size()));
    return text;
}

std::vector<std::size_t> DbaseTable::LiveRecordsOrderedBy(const std::string& fieldName) const {
    std::vector<std::size_t> records;
    for (std::size_t r = 0; r < recordCount_; ++r)
        if (!IsDeleted(r))
            records.push_back(r);
    const auto key = std::find_if(fields_.begin(), fields_.end(), [&](const DbaseField& f) {
        return QString::fromStdString(f.name).compare(QString::fromStdString(fieldName),
                                                      Qt::CaseInsensitive) == 0;
    });
    if (key == fields_.end())
        return records;
    const DbaseField& field = *key;
    const bool numeric = isNumeric(field.type);
    auto bytesOf = [&](std::size_t r) {
        return std::string_view(data_.constData() + headerSize_ + r * recordSize_ + std::size_t(field.offset),
                                std::size_t(field.length));
    };
    auto numberOf = [&](std::size_t r) {
        if ((field.type == 'I' || field.type == '+') && field.length == 4)
            return double(std::int32_t(le32(bytesOf(r).data())));
        return std::strtod(std::string(bytesOf(r)).c_str(), nullptr);
    };
    std::stable_sort(records.begin(), records.end(), [&](std::size_t a, std::size_t b) {
        return numeric ? numberOf(a) < numberOf(b) : bytesOf(a) < bytesOf(b);
    });
    return records;
}

std::string FindFileAnyCase(const std::string& folder, const std::string& name) {
    const QDir dir(QString::fromStdString(folder));
    const QString wanted = QString::fromStdString(name);
    for (const QFileInfo& entry : dir.entryInfoList(QDir::Files | QDir::Hidden))
        if (entry.fileName().compare(wanted, Qt::CaseInsensitive) == 0)
            return entry.absoluteFilePath().toStdString();
    return {};
}

} // namespace platform
