#include "shell/ClientServiceHostOfForm.h"

#include "shell/MainForm.h"

namespace shell {

std::string ClientServiceHostOfForm::Text(const char* key) const {
    return form_.Text(key);
}

ui::TListView& ClientServiceHostOfForm::ClientListView() {
    return *form_.lvKlienci;
}

void ClientServiceHostOfForm::ShowClientCount(int count) {
    form_.StatusBar->Panels()[4]->SetText(QString::number(count));
}

platform::Event* ClientServiceHostOfForm::ServiceLock() {
    return form_.event_obslugi.get();
}

} // namespace shell
