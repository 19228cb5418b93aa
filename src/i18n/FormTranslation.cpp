#include "i18n/FormTranslation.h"

#include "i18n/EmbeddedTranslations.h"

#include <vector>

namespace i18n {
namespace {

struct MainComponents {
    QPointer<TlgLangDispatcher> dispatcher;
    QPointer<TlgCustomLang> lang;
};
MainComponents& main() {
    static MainComponents components;
    return components;
}

struct Waiting {
    QPointer<TlgLangLinked> component;
    bool withContainer;
};
std::vector<Waiting>& waiting() {
    static std::vector<Waiting> list;
    return list;
}

// The stored settings every component of the program carries, then its data.
void prepare(TlgCustomLang& component, QObject* form) {
    component.ReadOurStrProps(EmbeddedTranslationData(form->metaObject()->className()));
    component.SetNumLang(int(ProgramLangNames().size()));
    component.SetLangNames(ProgramLangNames());
}

void link(TlgLangLinked* component, bool withContainer) {
    if (withContainer)
        component->SetCommonContainer(main().lang);
    component->SetLangDispatcher(main().dispatcher);
}

} // namespace

const TStrings& ProgramLangNames() {
    static const TStrings names{"Polski", "Angielski", "Niemiecki", "Rosyjski"};
    return names;
}

TlgLang* CreateMainTranslation(QObject* mainForm, TlgLangDispatcher*& dispatcher) {
    dispatcher = new TlgLangDispatcher(mainForm);
    dispatcher->SetLangNames(ProgramLangNames());
    auto* lang = new TlgLang(mainForm);
    prepare(*lang, mainForm);
    lang->SetLangDispatcher(dispatcher);
    lang->Loaded();
    main() = {dispatcher, lang};
    for (const Waiting& w : waiting())
        if (w.component)
            link(w.component, w.withContainer);
    waiting().clear();
    return lang;
}

TlgLangLinked* CreateLinkedTranslation(QObject* form, bool withContainer) {
    auto* component = new TlgLangLinked(form);
    prepare(*component, form);
    if (main().dispatcher) {
        component->SetLangDispatcher(main().dispatcher);
        if (withContainer)
            component->SetCommonContainer(main().lang);
        component->Loaded();
    } else {
        component->Loaded();
        waiting().push_back({component, withContainer});
    }
    return component;
}

void ForgetMainTranslation() {
    main() = {};
}

} // namespace i18n
