// Build step: turns each form's language text file (translations/<form
// class>.lng, UTF-8) into the form's translation data block with the engine
// itself, and writes a C++ file that embeds the blocks. A malformed file
// fails the build.
#include "i18n/LangComponent.h"
#include "i18n/MemIniFile.h"
#include "i18n/TranslationFileIo.h"

#include <QFileInfo>
#include <QSaveFile>
#include <cstdio>
#include <set>

namespace {

const char* const FileDelim = "~!@#";

bool fail(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return false;
}

// Every section known, every key of this form, every value with one text per language.
bool checkFile(const std::string& path, const std::string& className, const std::string& text,
               int languages) {
    i18n::TMemIniFile ini;
    ini.SetStrings(i18n::SplitLines(text));
    i18n::TStrings sections;
    ini.ReadSections(sections);
    bool ok = true;
    for (const auto& section : sections) {
        if (section == "OPTIONS" || section == "Language names - for internal use only!")
            continue;
        if (i18n::EqualsIgnoreCase(section, "Extended")) {
            ok = fail(path + ": [Extended] is not used: the forms store no extended translations");
            continue;
        }
        if (!i18n::IsValidIniSection(section)) {
            ok = fail(path + ": unknown section [" + section + "]");
            continue;
        }
        i18n::TStrings keys;
        ini.ReadSection(section, keys);
        std::set<std::string> seen;
        for (const auto& key : keys) {
            if (key.rfind(className + ".", 0) != 0)
                ok = fail(path + ": [" + section + "] key of another form: " + key);
            if (!seen.insert(i18n::AsciiUpper(key)).second)
                ok = fail(path + ": [" + section + "] repeated key: " + key);
            const std::string value = ini.ReadString(section, key, "");
            int count = 0;
            for (std::size_t at = value.find(FileDelim); at != std::string::npos;
                 at = value.find(FileDelim, at + 1))
                ++count;
            if (count != languages || value.size() < 4 || value.compare(value.size() - 4, 4, FileDelim) != 0)
                ok = fail(path + ": [" + section + "] " + key + " must hold " + std::to_string(languages) +
                          " texts, each ended by " + FileDelim);
        }
    }
    return ok;
}

std::string arrayOf(const std::string& name, const std::string& bytes) {
    std::string out = "const unsigned char " + name + "[] = {";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 20 == 0)
            out += "\n    ";
        out += std::to_string(static_cast<unsigned char>(bytes[i])) + ",";
    }
    return out + "0};\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s output.cpp [form.lng ...]\n", argv[0]);
        return 2;
    }
    std::string arrays, table, names;
    bool ok = true;
    for (int i = 2; i < argc; ++i) {
        const std::string path = argv[i];
        std::string text;
        try {
            text = i18n::ReadTranslationText(path);
        } catch (const ELanguageError& e) {
            ok = fail(e.what());
            continue;
        }
        const std::string className =
            QFileInfo(QString::fromStdString(path)).completeBaseName().toStdString();
        std::unique_ptr<TlgCustomLang> component;
        if (className == "TForm1")
            component = std::make_unique<TlgLang>(nullptr);
        else
            component = std::make_unique<TlgLangLinked>(nullptr);
        component->SetOwnerNames(className, "");
        component->LoadAllFromStream(text, true, false);
        if (!checkFile(path, className, text, component->NumOfLanguages())) {
            ok = false;
            continue;
        }
        component->NormalizeStrings();
        const std::string block = component->WriteOurStrProps();
        arrays += arrayOf("block_" + className, block);
        table +=
            "    {\"" + className + "\", block_" + className + ", " + std::to_string(block.size()) + "},\n";
    }
    if (!ok)
        return 1;
    const std::string source = "// Generated from translations/ by MakeTranslationData; do not edit.\n"
                               "#include \"i18n/EmbeddedTranslations.h\"\n\nnamespace {\n" +
                               arrays +
                               "struct Block {\n    const char* form;\n    const unsigned char* data;\n"
                               "    std::size_t size;\n};\nconst Block blocks[] = {\n" +
                               table +
                               "    {nullptr, nullptr, 0}};\n} // namespace\n\nnamespace i18n {\n"
                               "std::string_view EmbeddedTranslationData(std::string_view formClassName) {\n"
                               "    for (const Block* b = blocks; b->form; ++b)\n"
                               "        if (formClassName == b->form)\n"
                               "            return {reinterpret_cast<const char*>(b->data), b->size};\n"
                               "    return {};\n}\n\n"
                               "std::vector<std::string> EmbeddedTranslationForms() {\n"
                               "    std::vector<std::string> forms;\n"
                               "    for (const Block* b = blocks; b->form; ++b)\n"
                               "        forms.emplace_back(b->form);\n"
                               "    return forms;\n}\n} // namespace i18n\n";
    QSaveFile out(argv[1]);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(source.data(), qint64(source.size())) != qint64(source.size()) || !out.commit()) {
        std::fprintf(stderr, "%s: cannot write\n", argv[1]);
        return 1;
    }
    return 0;
}
