// The update program's one dialog.
#pragma once

#include "framework/atlapp.h"
#include "framework/atlddx.h"
#include "framework/atlframe.h"
#include "framework/atlwin.h"
#include "DownloadJob.h"
#include "HyperLink.h"
#include "Owners.h"
#include "ReleaseManifest.h"
#include "resource.h"

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CUpdateUI<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler,
                 public CWinDataExchange<CMainDlg>
{
public:
    enum
    {
        IDD = IDD_MAINDLG
    };

    CMainDlg() = default;
    ~CMainDlg() override;

    BOOL PreTranslateMessage(MSG* pMsg) override;
    BOOL OnIdle() override;

    BEGIN_MSG_MAP(CMainDlg)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
        COMMAND_ID_HANDLER(IDC_DOWNLOAD, OnDownload)
        COMMAND_ID_HANDLER(IDCANCEL, OnClose)
        COMMAND_ID_HANDLER(ID_DOWNLOAD_READY, OnDownloadReady)
        COMMAND_ID_HANDLER(ID_DOWNLOAD_FAILED, OnDownloadFailed)
        COMMAND_ID_HANDLER(ID_DOWNLOAD_PROGRESS, OnDownloadProgress)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDownload(WORD, WORD, HWND, BOOL&);
    LRESULT OnClose(WORD, WORD wID, HWND, BOOL&);
    // The worker's commands carry its run's number as their notification
    // code; the job says which of them the dialog acts on.
    LRESULT OnDownloadReady(WORD wNotifyCode, WORD, HWND, BOOL&);
    LRESULT OnDownloadFailed(WORD wNotifyCode, WORD, HWND, BOOL&);
    LRESULT OnDownloadProgress(WORD wNotifyCode, WORD, HWND, BOOL&);

    // True while a download worker may still use the dialog's download job.
    bool IsWorkerRunning() const { return m_download.IsRunning(); }

private:
    void CreateWhatsNewFont();
    void ShowWhatsNew();
    void StartDownload();
    void StopDownload();
    bool HandOff();

    CDownloadJob m_download;
    CReleaseCheck m_release; // set by OnInitDialog, before any download
    HWND m_hProgress = nullptr;
    HWND m_hStatusText = nullptr;
    unique_hfont m_hWhatsNewFont; // deleted after the labels, before the download job
    unique_hicon m_hIcon;         // given to the window; null while icon 128 is not shipped
    unique_hicon m_hIconSmall;
    bool m_bDownloading;        // set by OnInitDialog
    bool m_bHandingOff = false; // the ready box is up: the download button starts nothing
    int m_nPackaging;           // set by OnInitDialog
    // Destroyed in reverse order: m_linkHowToUpgrade first.
    CHyperLink m_linkWhatsNew;
    CHyperLink m_linkHowToUpgrade;
};
