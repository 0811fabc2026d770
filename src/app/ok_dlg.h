#pragma once
// The result dialog shown once at the end of every repair run.

#include <string>

#include "ui/simple_link.h"
#include "ui/window.h"

class COKDlg : public CDialogBase {
public:
    // `pUserStopped`: set when the run ended early for a stop; read once at
    // initialisation.
    explicit COKDlg(const volatile LONG* pUserStopped);

    // The text of static 1019: outcome, then the customer-service contact.
    static std::wstring BuildResultText(bool userStopped, bool repaired, bool failed = false,
                                        bool logUnsaved = false, bool restartFirst = false);

protected:
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    LRESULT OnInitDialog();
    void OnOK();
    void OnCancel();
    void OnViewLog();

    CSimpleLink m_viewLog;
    const volatile LONG* m_pUserStopped;
};
