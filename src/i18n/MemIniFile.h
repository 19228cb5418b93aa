// An INI text held in memory as sorted sections of sorted keys; the language
// text files are read and written through it.
#pragma once

#include "i18n/TextFunctions.h"

#include <QDateTime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace i18n {

// One section: keys sorted ignoring case; a repeated key is kept beside the first.
class TMemIniEntry {
  public:
    int GetStringCount() const { return int(keys_.size()); }
    const std::string& getKey(int i) const { return keys_[std::size_t(i)].first; }
    const std::string& GetValue(int i) const { return keys_[std::size_t(i)].second; }
    void SetValue(int i, std::string value) { keys_[std::size_t(i)].second = std::move(value); }
    std::string getEntry(int i) const { return getKey(i) + "=" + GetValue(i); }
    static void divideKeyValue(const std::string& line, std::string& key, std::string& value);
    int Add(const std::string& key, const std::string& value);
    int Add(const std::string& line);
    void Assign(const TStrings& lines);
    void Clear() { keys_.clear(); }
    void Delete(int i) { keys_.erase(keys_.begin() + i); }
    // Lowest index of an equal key (case ignored).
    bool Find(const std::string& key, int& index) const;

  private:
    std::vector<std::pair<std::string, std::string>> keys_;
};

class TCustomIniFile {
  public:
    explicit TCustomIniFile(std::string fileName) : FileName(std::move(fileName)) {}
    virtual ~TCustomIniFile() = default;
    virtual std::string ReadString(const std::string& section, const std::string& ident,
                                   const std::string& defaultValue) const = 0;
    virtual void WriteString(const std::string& section, const std::string& ident,
                             const std::string& value) = 0;
    virtual int ReadInteger(const std::string& section, const std::string& ident, int defaultValue) const;
    virtual void WriteInteger(const std::string& section, const std::string& ident, int value);
    virtual bool ReadBool(const std::string& section, const std::string& ident, bool defaultValue) const;
    virtual void WriteBool(const std::string& section, const std::string& ident, bool value);
    virtual QDate ReadDate(const std::string& section, const std::string& ident, QDate defaultValue) const;
    virtual QDateTime ReadDateTime(const std::string& section, const std::string& ident,
                                   QDateTime defaultValue) const;
    virtual double ReadFloat(const std::string& section, const std::string& ident, double defaultValue) const;
    virtual QTime ReadTime(const std::string& section, const std::string& ident, QTime defaultValue) const;
    virtual void WriteDate(const std::string& section, const std::string& ident, QDate value);
    virtual void WriteDateTime(const std::string& section, const std::string& ident, const QDateTime& value);
    virtual void WriteFloat(const std::string& section, const std::string& ident, double value);
    virtual void WriteTime(const std::string& section, const std::string& ident, QTime value);
    virtual void ReadSection(const std::string& section, TStrings& out) const = 0;
    virtual void ReadSections(TStrings& out) const = 0;
    virtual void ReadSectionValues(const std::string& section, TStrings& out) const = 0;
    virtual void EraseSection(const std::string& section) = 0;
    virtual void DeleteKey(const std::string& section, const std::string& ident) = 0;
    virtual void UpdateFile() = 0;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& ident) const;

    std::string FileName;
};

class TMemIniFile : public TCustomIniFile {
  public:
    explicit TMemIniFile(std::string fileName = {});
    TMemIniEntry* AddSection(const std::string& name);
    void Clear() { sections_.clear(); }
    void GetStrings(TStrings& out) const;
    void SetStrings(const TStrings& lines);
    void LoadValues();
    std::string ReadString(const std::string& section, const std::string& ident,
                           const std::string& defaultValue) const override;
    void WriteString(const std::string& section, const std::string& ident, const std::string& value) override;
    void ReadSection(const std::string& section, TStrings& out) const override;
    void ReadSections(TStrings& out) const override;
    void ReadSectionValues(const std::string& section, TStrings& out) const override;
    void EraseSection(const std::string& section) override;
    void DeleteKey(const std::string& section, const std::string& ident) override;
    // Writes the text to FileName; throws std::runtime_error when it cannot.
    void UpdateFile() override;
    void Rename(const std::string& fileName, bool reload);

  private:
    TMemIniEntry* find(const std::string& section) const;
    std::vector<std::pair<std::string, std::unique_ptr<TMemIniEntry>>> sections_;
};

// A store holding the INI text of a language file, and the text of lines
// (each ended by CR LF) as a language file holds them.
TMemIniFile IniFromText(std::string_view text);
std::string JoinLines(const TStrings& lines);

} // namespace i18n
