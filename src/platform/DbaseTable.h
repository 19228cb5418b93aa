// A reader of dBase tables (.dbf, memos in .dbt): the header and field
// descriptors are checked against the file before any record is read, so a
// damaged table is refused whole.
#pragma once

#include <QByteArray>
#include <QIODevice>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct DbaseField {
    std::string name;
    char type = 'C';
    int length = 0;
    int offset = 0; // within the record, behind the deletion flag
};

class DbaseTable {
  public:
    // The largest table file read (it is held in memory).
    static constexpr qint64 MaxTableBytes = 256LL * 1024 * 1024;

    // Opens the table and, when it has memo fields, its memo file of the
    // same name with the extension ".dbt" (any case). False with the reason
    // when the table cannot be read.
    bool Open(const std::string& path, std::string* error);
    // The same for a table already read; `memo` is its memo file (null when
    // there is none).
    bool Open(QByteArray table, std::unique_ptr<QIODevice> memo, std::string* error);

    const std::vector<DbaseField>& Fields() const { return fields_; }
    std::size_t RecordCount() const { return recordCount_; }
    bool IsDeleted(std::size_t record) const;
    // Binary large objects and pictures: no text form.
    static bool IsBlobType(char type) { return type == 'B' || type == 'G' || type == 'P'; }
    // The value as UTF-8 text, trailing blanks removed; a memo gives at most
    // `memoLimit` bytes of its text.
    std::string Value(std::size_t record, std::size_t field, std::size_t memoLimit) const;
    // The records not deleted, ordered by the field of that name (any
    // case): by number for numeric fields, else by text; in file order when
    // the table has no such field.
    std::vector<std::size_t> LiveRecordsOrderedBy(const std::string& fieldName) const;
    // The code page of the texts, from the table's language driver byte;
    // `fallback` when the byte names none of those known.
    static const char* CodePageOf(std::uint8_t languageDriver, const char* fallback);

  private:
    bool readHeader(std::string* error);
    bool readMemoHeader(std::string* error);
    std::string rawField(std::size_t record, const DbaseField& field) const;
    std::string memoText(const std::string& pointer, std::size_t limit) const;
    std::string decode(const std::string& bytes) const;

    QByteArray data_;
    std::vector<DbaseField> fields_;
    std::size_t recordCount_ = 0;
    std::size_t headerSize_ = 0;
    std::size_t recordSize_ = 0;
    std::string codePage_;
    std::unique_ptr<QIODevice> memo_;
    std::size_t memoBlockSize_ = 512;
    bool memoHasBlockHeaders_ = false;
};

// The path of the file of that name in the folder, whatever the case of
// either; empty when there is none.
std::string FindFileAnyCase(const std::string& folder, const std::string& name);

} // namespace platform
