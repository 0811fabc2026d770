#pragma once
// Addresses the dialogs open in the shell; the home page is used by both.

extern const wchar_t kHelpArticleUrl[];
extern const wchar_t kHomePageUrl[];
extern const wchar_t kForumUrl[];
// Told after a run's outcome when its record could not be written.
extern const wchar_t kLogUnsavedText[];

// Opens an address or a file with its default handler; the result is
// deliberately not examined.
void OpenInShell(const wchar_t* target);

// Centres over a visible, not minimised owner, else in the work area.
void CenterDialog(HWND dialog);
