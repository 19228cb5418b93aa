// PDUs the simulated GSM line modules hand to the server, written out by hand
// from the GSM 03.40 layouts so that no test checks the server's codec against
// itself. Time stamps give local time and zone; the server keeps only the
// local time.
#pragma once

#include <string>

namespace sim::pdu {

// SMS-DELIVER, service centre +48601000310, sender +48601234567 (0x91),
// 2026-03-07 09:05:03 +01:00, GSM 7-bit "Hello". 32 octets.
inline constexpr const char* DeliverHello =
    "07918406010013F0040B918406214365F700006230709050304005C8329BFD06";

// DeliverHello with its time stamp in another zone: 09:05:03 +02:00.
inline constexpr const char* DeliverHelloOtherZone =
    "07918406010013F0040B918406214365F700006230709050308005C8329BFD06";

// DeliverHello with the sender +48602<six digits of `sender`> (0..999999)
// instead, so that many messages can be told apart by their sender.
std::string DeliverHelloFrom(int sender);

// SMS-DELIVER, no service centre, sender +48501765432 (0x91),
// 2026-12-31 23:59:58 -03:00, UCS2 "Zażółć gęślą jaźń". 54 octets.
inline constexpr const char* DeliverPolish =
    "00040B918405715634F200086221133295852922005A0061017C00F3014201070020006701"
    "19015B006C01050020006A0061017A0144";

// SMS-DELIVER, no service centre, national sender 601234567 (0x81),
// 2026-01-15 14:30:00 +02:00, GSM 7-bit, 78 characters:
// "Spotkanie przeniesione na czwartek, godzina 10:00, sala 2. Prosze potwierdzic."
// 88 octets: long enough to come in several parts.
inline constexpr const char* DeliverMeeting =
    "0004098106214365F70000621051410300804E53F89BBE0EBBD365105CAE2FBBD3E579FAED2E83DC61D0587F0FCBE9E5"
    "350B747E93F56977181483E9603016681E6687413217082A7FCFF56510FC4DBFA7CB72B23E3D7601";

// SMS-STATUS-REPORT, no service centre, recipient +48601234567, time stamp
// 2026-03-07 09:06:00 +01:00, discharge time 09:06:05; TP-MR and TP-ST are
// the two hex digits in front of and after the addresses and times.
inline constexpr const char* StatusReportHead = "0006";
inline constexpr const char* StatusReportBody = "0B918406214365F76230709060004062307090605040";

// The status report above with its TP-MR and TP-ST (0..255 each) filled in.
std::string StatusReport(int messageReference, int status);

} // namespace sim::pdu
