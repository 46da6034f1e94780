#pragma once
// The texts the reading screens show for conversations, messages and
// attachments, worked out from the archive's records in one place so that the
// list rows, the bubbles and their accessibility agree.
//
// Dates are formatted in the user's locale from its own long and short formats
// (weekday, month, day, year, hour, minute), never from fixed patterns.
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace reading {

QDateTime toDateTime(kx::Date date);
QString fromUtf8(const std::optional<std::string>& text);

// "Wednesday, Dec 9, 2026": the day heading above a new day's first message.
QString dayHeading(const QDate& day);
// "Dec 9, 2026": year, abbreviated month and day.
QString mediumDate(const QDate& day);
// "3:41 PM" or "15:41", as the locale writes a time.
QString shortTime(const QDateTime& when);
// "Dec 9, 2026, 3:41 PM": a message's hover help and spoken date.
QString abbreviatedDateTime(const QDateTime& when);

// The name a conversation goes by on every screen: the name typed for its key
// or the contact's, else its own name (a group's), else the key itself.
kx::ResolvedName conversationName(const kx::ContactResolver& names, const std::string& key,
                                  const std::optional<std::string>& ownName);
// A search result's first line: who wrote the message ("You" for the owner),
// then the conversation's name unless it is that already: "You · Mum",
// "Alice · Family", "Mum".
QString searchResultTitle(const kx::ContactResolver& names, const kx::TreskStore::SearchHit& hit);

// Whether the second text of a resolved name is shown (every kind but "handle
// only"; an unknown kind counts as showing it).
bool showsSecondText(const kx::ResolvedName& name);
// The second line of a conversation row: "+1555… · 12 messages · Dec 9, 2026".
QString conversationDetailLine(const kx::TreskStore::ConversationSummary& summary, const kx::ResolvedName& name);
// The row's one accessibility label: "Mum, +1555…, 12 messages".
QString conversationAccessibleLabel(const kx::TreskStore::ConversationSummary& summary, const kx::ResolvedName& name);

// A message text with every U+FFFC removed and white space trimmed at both ends.
QString cleanedText(const std::optional<std::string>& text);
// "You said" / "They said".
QString bubbleAccessibleLabel(const kx::TreskStore::SearchHit& hit);
// The text, the attachments, the date and the corroboration, joined with ". ";
// "Empty message" when none applies.
QString bubbleAccessibleValue(const kx::TreskStore::SearchHit& hit,
                              const std::vector<kx::TreskStore::AttachmentRef>& attachments);
// "Found in 2 sources: a, b".
QString corroborationHelp(const kx::TreskStore::SearchHit& hit);

// The symbol of an attachment's kind, from its MIME type (case-sensitive).
QString attachmentSymbol(const std::optional<std::string>& mimeType);
// Whether an archived file of this type is shown as a picture.
bool isImageType(const std::optional<std::string>& mimeType);

// The status line under an attachment's name and the help text that explains it.
struct AttachmentStatus {
    QString line; // empty: no status line
    QString help; // empty: no help text
};
AttachmentStatus attachmentStatus(const kx::TreskStore::AttachmentRef& attachment, bool archivedFilePresent);
// The attachment's name as a row shows it: its file name on one line, without
// direction overrides (so "\u202Egpj.exe" never passes for "exe.jpg"), else "Attachment".
QString attachmentTitle(const kx::TreskStore::AttachmentRef& attachment);
// Marks, embeddings, overrides and isolates that change the order text is shown in.
bool isDirectionControl(QChar c);

// "Load earlier messages (N older)".
QString loadEarlierTitle(qint64 older);

} // namespace reading
