// The program's version resource, read as the original read it from its
// program file; here the resource is compiled in.
#pragma once

#include <QObject>
#include <string>

class TExeVersion : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Filename READ Filename WRITE SetFilename)
    Q_PROPERTY(bool UseCurrentApplication READ UseCurrentApplication WRITE SetUseCurrentApplication)
  public:
    TExeVersion(const QString& name, QObject* owner);

    QString Filename() const { return filename_; }
    // While UseCurrentApplication is on, the file is always the running program.
    void SetFilename(const QString& name);
    bool UseCurrentApplication() const { return useCurrent_; }
    void SetUseCurrentApplication(bool on);

    // Copies at most bufferSize - 1 characters of the named string and
    // terminates the buffer; the string's length, 0 when it cannot be read.
    static unsigned GetFileVersionField(const std::string& fileName, const std::string& stringName,
                                        unsigned bufferSize, char* buffer);

    // The path of the program's string table (Polish, code page 1250), to
    // which a string's name is added.
    static constexpr const char* ProgramStringTable = "\\StringFileInfo\\041504e2\\";
    // The version block of a file, its values found by path
    // ("\VarFileInfo\Translation", "\StringFileInfo\041504e2\FileVersion").
    // Each sets `error` to the reason of a failure, as the system numbers
    // it: ENOENT no such file or value, ENODATA a file without a block.
    static unsigned VersionBlockSize(const std::string& fileName, int& error);
    static bool ReadVersionBlock(const std::string& fileName, std::string& block, int& error);
    static bool QueryVersionValue(const std::string& block, const std::string& path, std::string& value,
                                  int& error);

    std::string GetCompanyName() const { return field("CompanyName"); }
    std::string GetFileDescription() const { return field("FileDescription"); }
    std::string GetFileVersion() const { return field("FileVersion"); }
    std::string GetInternalName() const { return field("InternalName"); }
    std::string GetLegalCopyright() const { return field("LegalCopyright"); }
    std::string GetLegalTrademarks() const { return field("LegalTrademarks"); }
    std::string GetOriginalFilename() const { return field("OriginalFilename"); }
    std::string GetProductName() const { return field("ProductName"); }
    std::string GetProductVersion() const { return field("ProductVersion"); }
    std::string GetComments() const { return field("Comments"); }
    std::string GetMajorVersion() const { return VersionPart(GetFileVersion(), 0); }
    std::string GetMinorVersion() const { return VersionPart(GetFileVersion(), 1); }
    std::string GetRelease() const { return VersionPart(GetFileVersion(), 2); }
    std::string GetBuild() const { return VersionPart(GetFileVersion(), 3); }

    // Part `index` of a dotted version text: the first is the text up to the
    // first "." (empty without one); later parts treat a run of "." as one
    // separator; a missing part is empty.
    static std::string VersionPart(const std::string& version, int index);
    // The full path of the running program.
    static std::string ProgramPath();

  private:
    std::string field(const char* name) const;
    QString filename_;
    bool useCurrent_ = true;
};
