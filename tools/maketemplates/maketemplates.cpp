// maketemplates: builds the template tables of our deployment with the table engine and packs
// them into the zip archive that the program carries (deterministic: fixed dates, fixed data),
// and, with --demo, a live folder of filled copies for a first look at a maintenance run.
//
//   maketemplates --archive OUT.zip [--keep FOLDER]   the template archive (FOLDER keeps the
//                                                      unpacked tables)
//   maketemplates --demo FOLDER                        a demo live folder
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/TTable.h"
#include "engine/format/Endian.h"
#include "engine/table/DbfFile.h"
#include "platform/AtomicFile.h"
#include "platform/Env.h"
#include "platform/FileAccess.h"
#include "platform/FileNames.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

// ---- Fixed facts of the template set.

// Stored in every archive entry and in every table and index header: the set is rebuilt byte
// for byte on every build.
constexpr int kStampYear = 2025, kStampMonth = 12, kStampDay = 6, kStampHour = 10;
constexpr uint8_t kLanguageDriverAnsi = 0x57;
constexpr uint8_t kVersionNoMemo = 0x03;
constexpr uint8_t kVersionMemo4 = 0x8B;
constexpr size_t kDbfProductionFlag = 28;
constexpr size_t kDbfLanguageDriver = 29;
constexpr uint32_t kMemoBlock = 512;
// The version file: exactly 42 bytes.
const char* const kVersionFileName = "1_ver.ini";
const char* const kVersionFileText = "[Version]\r\nDbf_version=5.33-20251206-r17\r\n";
// zip: "version made by" 2.0 on MS-DOS; the archive attribute only.
constexpr uLong kMadeByDos20 = 20;
constexpr uLong kAttrArchive = 0x20;

struct TableDesign {
    std::string file;    // name with extension, as stored in the archive
    std::string fields;  // "NAME:C40 PRICE:N12.2 ..."
    std::vector<std::pair<std::string, std::string>> tags;  // name, key expression
    int templateRecords = 0;                                // records in the template table
    int demoRecords = 0;                                    // records in the demo live table
};

// The application: a small trading business (sales, purchases, stock, money, staff, books).
// Tables with tags carry a production index; the others do not.
const std::vector<TableDesign>& Catalogue() {
    static const std::vector<TableDesign> tables = {
        {"ACCOUNT.DBF",
         "ACCNO:N8 ACCNAME:C40 PARENT:N8 LEVEL:N1 ACCTYPE:C1 DEBIT:N15.0 CREDIT:N15.0 ACTIVE:L1",
         {{"ACCNO", "ACCNO"},
          {"ACCNAME", "UPPER(ACCNAME)"},
          {"PARENT", "STR(PARENT,8)+STR(ACCNO,8)"}},
         60,
         60},
        {"ATTEND.DBF",
         "EMPNO:N6 WORKDATE:D8 TIMEIN:C5 TIMEOUT:C5 HOURS:N5.2 REMARK:C30",
         {{"EMPDATE", "STR(EMPNO,6)+DTOS(WORKDATE)"}, {"WORKDATE", "WORKDATE"}},
         0,
         900},
        {"BACKUP.DBF", "BAKDATE:D8 BAKTIME:C8 FOLDER:C80 FILES:N5 OK:L1", {}, 0, 12},
        {"BANK.DBF",
         "BANKNO:N4 BANKNAME:C40 SWIFT:C11",
         {{"BANKNO", "BANKNO"}, {"BANKNAME", "UPPER(BANKNAME)"}},
         9,
         9},
        {"BANKACC.DBF",
         "ACCID:N6 BANKNO:N4 BRANCH:C30 ACCNUM:C20 SHEBA:C26 BALANCE:N15.0",
         {{"ACCID", "ACCID"}, {"BANKNO", "STR(BANKNO,4)+ACCNUM"}},
         0,
         6},
        {"BARCODE.DBF",
         "BARCODE:C20 PRODNO:N8 UNITNO:N3",
         {{"BARCODE", "BARCODE"}, {"PRODNO", "PRODNO"}},
         0,
         300},
        {"CASHBOX.DBF", "BOXNO:N3 BOXNAME:C30 BALANCE:N15.0", {{"BOXNO", "BOXNO"}}, 0, 2},
        {"CASHMOV.DBF",
         "MOVNO:N8 BOXNO:N3 MOVDATE:D8 AMOUNT:N15.0 INOUT:C1 DESCR:C50",
         {{"MOVNO", "MOVNO"}, {"BOXDATE", "STR(BOXNO,3)+DTOS(MOVDATE)"}},
         0,
         700},
        {"CHEQUE.DBF",
         "CHQNO:C16 BANKNO:N4 DUEDATE:D8 AMOUNT:N15.0 CUSTNO:N6 STATUS:C1",
         {{"CHQNO", "CHQNO"}, {"DUEDATE", "DTOS(DUEDATE)"}, {"CUSTNO", "CUSTNO"}},
         0,
         240},
        {"CITY.DBF",
         "CITYNO:N4 PROVNO:N2 CITYNAME:C30",
         {{"CITYNO", "CITYNO"}, {"CITYNAME", "UPPER(CITYNAME)"}},
         0,
         40},
        {"COMPANY.DBF", "COMPNAME:C60 ECONO:C14 NATID:C11 ADDRESS:C80 PHONE:C15", {}, 1, 1},
        {"CONTRACT.DBF",
         "CONTNO:N6 CUSTNO:N6 STARTDT:D8 ENDDT:D8 AMOUNT:N15.0 TITLE:C50",
         {{"CONTNO", "CONTNO"}, {"CUSTNO", "CUSTNO"}},
         0,
         30},
        {"COSTCTR.DBF", "CTRNO:N4 CTRNAME:C40", {{"CTRNO", "CTRNO"}}, 0, 8},
        {"COUNTER.DBF", "DOCTYPE:C10 LASTNO:N10 PREFIX:C4", {}, 12, 12},
        {"CUSTGRP.DBF",
         "GRPNO:N3 GRPNAME:C30 DISCPCT:N5.2",
         {{"GRPNO", "GRPNO"}, {"GRPNAME", "UPPER(GRPNAME)"}},
         6,
         6},
        {"CUSTOMER.DBF",
         "CUSTNO:N6 NAME:C40 GRPNO:N3 CITYNO:N4 ADDRESS:C60 PHONE:C15 MOBILE:C11 ECONO:C14 "
         "CREDIT:N15.0 BALANCE:N15.0 OPENED:D8 ACTIVE:L1 NOTES:M10",
         {{"CUSTNO", "CUSTNO"},
          {"NAME", "UPPER(NAME)"},
          {"GRPNO", "STR(GRPNO,3)+UPPER(NAME)"},
          {"MOBILE", "MOBILE"},
          {"OPENED", "DTOS(OPENED)"}},
         40,
         400},
        {"DELIVERY.DBF",
         "DELNO:N8 INVNO:N8 DELDATE:D8 VEHNO:N4 DRVNO:N4 DONE:L1",
         {{"DELNO", "DELNO"}, {"INVNO", "INVNO"}, {"DELDATE", "DTOS(DELDATE)"}},
         0,
         500},
        {"DEPT.DBF", "DEPTNO:N3 DEPTNAME:C30 MANAGER:N6", {{"DEPTNO", "DEPTNO"}}, 6, 6},
        {"DISCOUNT.DBF",
         "DISCNO:N6 PRODNO:N8 GRPNO:N3 FROMDT:D8 TODT:D8 PERCENT:N5.2",
         {{"DISCNO", "DISCNO"}, {"PRODGRP", "STR(PRODNO,8)+STR(GRPNO,3)"}},
         0,
         60},
        {"DRIVER.DBF", "DRVNO:N4 NAME:C40 LICENSE:C12 MOBILE:C11", {{"DRVNO", "DRVNO"}}, 0, 7},
        {"FISCALYR.DBF", "YEARNO:N4 STARTDT:D8 ENDDT:D8 CLOSED:L1", {{"YEARNO", "YEARNO"}}, 0, 3},
        {"INSTALL.DBF",
         "INSTNO:N8 CONTNO:N6 DUEDATE:D8 AMOUNT:N15.0 PAID:L1",
         {{"INSTNO", "INSTNO"}, {"CONTDUE", "STR(CONTNO,6)+DTOS(DUEDATE)"}},
         0,
         180},
        {"INVCNTLN.DBF",
         "COUNTNO:N6 LINENO:N4 PRODNO:N8 QTYBOOK:N12.3 QTYCOUNT:N12.3",
         {{"COUNTLN", "STR(COUNTNO,6)+STR(LINENO,4)"}, {"PRODNO", "PRODNO"}},
         0,
         400},
        {"INVCOUNT.DBF",
         "COUNTNO:N6 WHNO:N3 COUNTDT:D8 CLOSED:L1",
         {{"COUNTNO", "COUNTNO"}, {"COUNTDT", "DTOS(COUNTDT)"}},
         0,
         4},
        {"INVLINE.DBF",
         "INVNO:N8 LINENO:N4 PRODNO:N8 QTY:N12.3 PRICE:N15.0 DISCOUNT:N15.0 TAX:N15.0",
         {{"INVLINE", "STR(INVNO,8)+STR(LINENO,4)"}, {"PRODNO", "PRODNO"}},
         0,
         6000},
        {"INVOICE.DBF",
         "INVNO:N8 INVDATE:D8 CUSTNO:N6 STAFFNO:N6 WHNO:N3 TOTAL:N15.0 DISCOUNT:N15.0 TAX:N15.0 "
         "PAID:L1 CANCELED:L1",
         {{"INVNO", "INVNO"},
          {"INVDATE", "DTOS(INVDATE)"},
          {"CUSTDATE", "STR(CUSTNO,6)+DTOS(INVDATE)"}},
         0,
         2000},
        {"LOAN.DBF",
         "LOANNO:N6 EMPNO:N6 LOANDATE:D8 AMOUNT:N15.0 INSTALLS:N3",
         {{"LOANNO", "LOANNO"}, {"EMPNO", "EMPNO"}},
         0,
         20},
        {"LOGBOOK.DBF", "LOGDATE:D8 LOGTIME:C8 USERNAME:C20 ACTION:C60", {}, 0, 800},
        {"MESSAGE.DBF", "MSGNO:N8 FROMUSER:C20 TOUSER:C20 SENT:D8 TEXT:C100 READ:L1", {}, 0, 50},
        {"ORDERS.DBF",
         "ORDNO:N8 ORDDATE:D8 CUSTNO:N6 DUEDATE:D8 TOTAL:N15.0 STATUS:C1",
         {{"ORDNO", "ORDNO"}, {"ORDDATE", "DTOS(ORDDATE)"}, {"CUSTNO", "CUSTNO"}},
         0,
         600},
        {"ORDLINE.DBF",
         "ORDNO:N8 LINENO:N4 PRODNO:N8 QTY:N12.3 PRICE:N15.0",
         {{"ORDLINE", "STR(ORDNO,8)+STR(LINENO,4)"}},
         0,
         1800},
        {"PARAM.DBF", "PARNAME:C20 PARVALUE:C60", {}, 0, 15},
        {"PAYMENT.DBF",
         "PAYNO:N8 PAYDATE:D8 CUSTNO:N6 AMOUNT:N15.0 METHOD:C1 CHQNO:C16",
         {{"PAYNO", "PAYNO"},
          {"PAYDATE", "DTOS(PAYDATE)"},
          {"CUSTNO", "STR(CUSTNO,6)+DTOS(PAYDATE)"}},
         0,
         1500},
        {"PORDER.DBF",
         "PORDNO:N8 PORDDATE:D8 SUPPNO:N6 TOTAL:N15.0 STATUS:C1",
         {{"PORDNO", "PORDNO"}, {"SUPPNO", "SUPPNO"}},
         0,
         150},
        {"PORDLINE.DBF",
         "PORDNO:N8 LINENO:N4 PRODNO:N8 QTY:N12.3 PRICE:N15.0",
         {{"PORDLINE", "STR(PORDNO,8)+STR(LINENO,4)"}},
         0,
         450},
        {"PRICE.DBF",
         "LISTNO:N3 PRODNO:N8 PRICE:N15.0 FROMDT:D8",
         {{"LISTPROD", "STR(LISTNO,3)+STR(PRODNO,8)"}, {"FROMDT", "DTOS(FROMDT)"}},
         0,
         360},
        {"PRICELST.DBF", "LISTNO:N3 LISTNAME:C30 ACTIVE:L1", {{"LISTNO", "LISTNO"}}, 0, 3},
        {"PRINTQ.DBF", "JOBNO:N6 DOCTYPE:C10 DOCNO:N8 COPIES:N2 QUEUED:D8", {}, 0, 25},
        {"PRODGRP.DBF",
         "GRPNO:N3 GRPNAME:C30 PARENT:N3",
         {{"GRPNO", "GRPNO"}, {"GRPNAME", "UPPER(GRPNAME)"}},
         10,
         10},
        {"PRODUCT.DBF",
         "PRODNO:N8 CODE:C12 NAME:C50 GRPNO:N3 UNITNO:N3 BUYPRICE:N15.0 SELLPRICE:N15.0 "
         "MINSTOCK:N10.3 TAXABLE:L1 ACTIVE:L1 DESCR:M10",
         {{"PRODNO", "PRODNO"},
          {"CODE", "CODE"},
          {"NAME", "UPPER(NAME)"},
          {"GRPNAME", "STR(GRPNO,3)+UPPER(NAME)"}},
         120,
         600},
        {"PROJECT.DBF",
         "PROJNO:N6 PROJNAME:C50 CUSTNO:N6 STARTDT:D8 BUDGET:N15.0",
         {{"PROJNO", "PROJNO"}, {"PROJNAME", "UPPER(PROJNAME)"}},
         0,
         10},
        {"PROVINCE.DBF",
         "PROVNO:N2 PROVNAME:C30",
         {{"PROVNO", "PROVNO"}, {"PROVNAME", "UPPER(PROVNAME)"}},
         31,
         31},
        {"PURCHASE.DBF",
         "PURNO:N8 PURDATE:D8 SUPPNO:N6 WHNO:N3 TOTAL:N15.0 TAX:N15.0 PAID:L1",
         {{"PURNO", "PURNO"}, {"PURDATE", "DTOS(PURDATE)"}, {"SUPPNO", "SUPPNO"}},
         0,
         300},
        {"PURLINE.DBF",
         "PURNO:N8 LINENO:N4 PRODNO:N8 QTY:N12.3 PRICE:N15.0",
         {{"PURLINE", "STR(PURNO,8)+STR(LINENO,4)"}, {"PRODNO", "PRODNO"}},
         0,
         1200},
        {"REPORT.DBF", "REPNO:N4 REPNAME:C40 FILENAME:C40", {}, 0, 18},
        {"RETLINE.DBF",
         "RETNO:N8 LINENO:N4 PRODNO:N8 QTY:N12.3 PRICE:N15.0",
         {{"RETLINE", "STR(RETNO,8)+STR(LINENO,4)"}},
         0,
         150},
        {"RETURN.DBF",
         "RETNO:N8 RETDATE:D8 INVNO:N8 CUSTNO:N6 TOTAL:N15.0 REASON:C40",
         {{"RETNO", "RETNO"}, {"RETDATE", "DTOS(RETDATE)"}, {"INVNO", "INVNO"}},
         0,
         60},
        {"SALARY.DBF",
         "EMPNO:N6 PAYMONTH:C7 BASE:N15.0 OVERTIME:N15.0 DEDUCT:N15.0 NET:N15.0",
         {{"EMPMONTH", "STR(EMPNO,6)+PAYMONTH"}},
         0,
         180},
        {"SERIALNO.DBF",
         "SERIAL:C24 PRODNO:N8 INVNO:N8 SOLD:L1",
         {{"SERIAL", "UPPER(SERIAL)"}, {"PRODNO", "PRODNO"}},
         0,
         250},
        {"SMSOUT.dbf", "SMSNO:N8 MOBILE:C11 TEXT:C160 SENT:L1 SENTDATE:D8", {}, 0, 40},
        {"STAFF.DBF",
         "EMPNO:N6 NAME:C40 DEPTNO:N3 NATID:C10 HIRED:D8 BASESAL:N15.0 MOBILE:C11 ACTIVE:L1",
         {{"EMPNO", "EMPNO"},
          {"NAME", "UPPER(NAME)"},
          {"DEPTNO", "STR(DEPTNO,3)+UPPER(NAME)"},
          {"HIRED", "DTOS(HIRED)"}},
         15,
         15},
        {"STOCK.DBF",
         "PRODNO:N8 WHNO:N3 QTY:N12.3 RESERVED:N12.3 LASTMOVE:D8",
         {{"PRODWH", "STR(PRODNO,8)+STR(WHNO,3)"}, {"LASTMOVE", "DTOS(LASTMOVE)"}},
         310,
         1200},
        {"STOCKMOV.DBF",
         "MOVNO:N8 MOVDATE:D8 PRODNO:N8 WHNO:N3 QTY:N12.3 DOCTYPE:C3 DOCNO:N8",
         {{"MOVNO", "MOVNO"},
          {"PRODDATE", "STR(PRODNO,8)+DTOS(MOVDATE)"},
          {"DOC", "DOCTYPE+STR(DOCNO,8)"}},
         0,
         5000},
        {"SUPPAY.DBF",
         "PAYNO:N8 PAYDATE:D8 SUPPNO:N6 AMOUNT:N15.0 METHOD:C1",
         {{"PAYNO", "PAYNO"}, {"SUPPNO", "STR(SUPPNO,6)+DTOS(PAYDATE)"}},
         0,
         200},
        {"SUPPLIER.DBF",
         "SUPPNO:N6 NAME:C40 CITYNO:N4 ADDRESS:C60 PHONE:C15 ECONO:C14 BALANCE:N15.0 ACTIVE:L1 "
         "NOTES:M10",
         {{"SUPPNO", "SUPPNO"}, {"NAME", "UPPER(NAME)"}},
         12,
         60},
        {"TAXRATE.DBF", "TAXNO:N2 TAXNAME:C30 RATE:N5.2 FROMDT:D8", {{"TAXNO", "TAXNO"}}, 3, 3},
        {"TEMPINV.DBF", "SESSION:N6 INVNO:N8 CUSTNO:N6 TOTAL:N15.0", {}, 0, 0},
        {"TEMPLINE.DBF", "SESSION:N6 LINENO:N4 PRODNO:N8 QTY:N12.3 PRICE:N15.0", {}, 0, 0},
        {"UNIT.DBF", "UNITNO:N3 UNITNAME:C20 FACTOR:N10.3", {{"UNITNO", "UNITNO"}}, 8, 8},
        {"USERS.DBF", "USERNAME:C20 FULLNAME:C40 PASSHASH:C32 ISADMIN:L1 LASTLOGIN:D8", {}, 0, 5},
        {"VEHICLE.DBF",
         "VEHNO:N4 PLATE:C12 MODEL:C30 CAPACITY:N8.1",
         {{"VEHNO", "VEHNO"}, {"PLATE", "UPPER(PLATE)"}},
         0,
         5},
        {"VOUCHER.DBF",
         "VOUNO:N8 VOUDATE:D8 YEARNO:N4 DESCR:C60 POSTED:L1",
         {{"VOUNO", "VOUNO"},
          {"VOUDATE", "DTOS(VOUDATE)"},
          {"YEARVOU", "STR(YEARNO,4)+STR(VOUNO,8)"}},
         0,
         800},
        {"VOUCHLN.DBF",
         "VOUNO:N8 LINENO:N4 ACCNO:N8 CTRNO:N4 DEBIT:N15.0 CREDIT:N15.0 DESCR:C50",
         {{"VOUCHLN", "STR(VOUNO,8)+STR(LINENO,4)"}, {"ACCNO", "STR(ACCNO,8)+STR(VOUNO,8)"}},
         0,
         3200},
        {"WAREHSE.DBF", "WHNO:N3 WHNAME:C30 CITYNO:N4 KEEPER:N6", {{"WHNO", "WHNO"}}, 3, 3},
    };
    return tables;
}

// ---- Deterministic data.

class Rng {
  public:
    explicit Rng(uint32_t seed) : s_(seed * 2654435761u + 1) {}
    uint32_t Next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 17;
        s_ ^= s_ << 5;
        return s_;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }

  private:
    uint32_t s_;
};

const char* const kFirstNames[] = {"Ali",    "Reza",   "Mohammad", "Hossein", "Mehdi", "Sara",
                                   "Maryam", "Zahra",  "Fatemeh",  "Nima",    "Amir",  "Leila",
                                   "Hamid",  "Parisa", "Saeed",    "Narges"};
const char* const kLastNames[] = {"Ahmadi", "Karimi", "Hosseini", "Rezaei",  "Mohammadi", "Jafari",
                                  "Moradi", "Kazemi", "Rahimi",   "Ghasemi", "Sadeghi",   "Tehrani",
                                  "Najafi", "Abbasi", "Sharifi",  "Azizi"};
const char* const kCities[] = {"Tehran", "Esfahan", "Shiraz", "Tabriz", "Mashhad", "Karaj",
                               "Qom",    "Ahvaz",   "Kerman", "Rasht",  "Yazd",    "Hamedan"};
const char* const kGoods[] = {"Rice",    "Tea",       "Sugar", "Oil",   "Flour",
                              "Saffron", "Pistachio", "Dates", "Soap",  "Detergent",
                              "Paper",   "Notebook",  "Pen",   "Cable", "Lamp",
                              "Switch",  "Battery",   "Paint", "Nails", "Glue"};
const char* const kSizes[] = {"Small", "Medium", "Large", "1 kg", "5 kg", "10 kg", "Pack of 12"};

struct Field {
    std::string name;
    char type;
    int length;
    int decimals;
};

std::vector<Field> ParseFields(const std::string& text) {
    std::vector<Field> fields;
    std::istringstream in(text);
    std::string item;
    while (in >> item) {
        const size_t colon = item.find(':');
        Field f{item.substr(0, colon), item[colon + 1], 0, 0};
        const std::string size = item.substr(colon + 2);
        const size_t dot = size.find('.');
        f.length = std::stoi(size.substr(0, dot));
        if (dot != std::string::npos)
            f.decimals = std::stoi(size.substr(dot + 1));
        fields.push_back(f);
    }
    return fields;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string DateText(int dayOffset) {
    // Days after 21 March 2023, a plain proleptic calendar walk (no library time zone issues).
    int y = 2023, m = 3, d = 21;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int i = 0; i < dayOffset; ++i) {
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        const int inMonth = kDays[m - 1] + (m == 2 && leap ? 1 : 0);
        if (++d > inMonth) {
            d = 1;
            if (++m > 12) {
                m = 1;
                ++y;
            }
        }
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y % 10000, m % 100, d % 100);
    return buf;
}

std::string NumberText(double value, const Field& f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", f.decimals, value);
    std::string s = buf;
    if (static_cast<int>(s.size()) > f.length)
        s = std::string(static_cast<size_t>(f.length), '9');
    return s;
}

double Limit(const Field& f) {
    const int intDigits = f.length - (f.decimals ? f.decimals + 1 : 0);
    double limit = 1;
    for (int i = 0; i < std::min(intDigits, 9); ++i)
        limit *= 10;
    return limit - 1;
}

// One value for field `f` of record `recno` (1-based) of `table`; memo fields get "" here.
std::string Value(const std::string& table, const Field& f, size_t fieldIndex, int recno,
                  Rng& rng) {
    const std::string& n = f.name;
    switch (f.type) {
        case 'N': {
            if (fieldIndex == 0)
                return NumberText(recno, f);  // the table's own number
            if (n == "LINENO")
                return NumberText(1 + (recno - 1) % 4, f);
            if (EndsWith(n, "NO") || n == "PARENT" || n == "MANAGER" || n == "KEEPER") {
                const double limit = std::min(Limit(f), 400.0);
                return NumberText(1 + rng.Below(static_cast<int>(limit)), f);
            }
            if (n == "LEVEL")
                return NumberText(1 + rng.Below(4), f);
            if (n == "RATE" || n == "PERCENT" || n == "DISCPCT")
                return NumberText(rng.Below(2000) / 100.0, f);
            if (n == "FACTOR")
                return NumberText(1 + rng.Below(24), f);
            if (f.decimals == 3)
                return NumberText(rng.Below(100000) / 100.0, f);
            const double amount = (1 + rng.Below(5000)) * 10000.0;
            return NumberText(std::min(amount, Limit(f)), f);
        }
        case 'D':
            return DateText(rng.Below(900));
        case 'L':
            return rng.Below(5) == 0 ? "F" : "T";
        case 'M':
            return "";
        default:
            break;
    }
    // Character fields.
    auto fit = [&](std::string s) {
        if (static_cast<int>(s.size()) > f.length)
            s.resize(static_cast<size_t>(f.length));
        return s;
    };
    char buf[256];
    if (n == "NAME" || n == "FULLNAME" || n == "ACCNAME" || n == "GRPNAME" || n == "COMPNAME" ||
        n == "PROJNAME" || n == "WHNAME" || n == "DEPTNAME" || n == "BANKNAME" || n == "BOXNAME" ||
        n == "LISTNAME" || n == "UNITNAME" || n == "TAXNAME" || n == "CTRNAME" || n == "PROVNAME" ||
        n == "CITYNAME" || n == "REPNAME") {
        if (table == "PRODUCT.DBF") {
            std::snprintf(buf, sizeof buf, "%s %s", kGoods[rng.Below(20)], kSizes[rng.Below(7)]);
        } else if (n == "CITYNAME" || n == "PROVNAME") {
            std::snprintf(buf, sizeof buf, "%s %d", kCities[recno % 12], recno);
        } else if (table == "CUSTOMER.DBF" || table == "SUPPLIER.DBF" || table == "STAFF.DBF" ||
                   table == "DRIVER.DBF" || n == "FULLNAME") {
            std::snprintf(buf, sizeof buf, "%s %s", kFirstNames[rng.Below(16)],
                          kLastNames[rng.Below(16)]);
        } else {
            std::snprintf(buf, sizeof buf, "%s %s %d", n.c_str(), kCities[rng.Below(12)], recno);
        }
        return fit(buf);
    }
    if (n == "ADDRESS") {
        std::snprintf(buf, sizeof buf, "No. %d, %s St., %s", 1 + rng.Below(200),
                      kLastNames[rng.Below(16)], kCities[rng.Below(12)]);
        return fit(buf);
    }
    if (n == "PHONE") {
        std::snprintf(buf, sizeof buf, "021-%08u", rng.Next() % 100000000u);
        return fit(buf);
    }
    if (n == "MOBILE") {
        std::snprintf(buf, sizeof buf, "0912%07u", rng.Next() % 10000000u);
        return fit(buf);
    }
    if (n == "CODE" || n == "BARCODE" || n == "SERIAL" || n == "CHQNO" || n == "PLATE" ||
        n == "ACCNUM" || n == "SHEBA" || n == "ECONO" || n == "NATID" || n == "LICENSE" ||
        n == "SWIFT") {
        std::snprintf(buf, sizeof buf, "%c%c%010u%02d", 'A' + rng.Below(26), 'A' + rng.Below(26),
                      rng.Next() % 1000000000u, recno % 100);
        return fit(buf);
    }
    if (n == "TIMEIN" || n == "TIMEOUT" || n == "BAKTIME" || n == "LOGTIME") {
        std::snprintf(buf, sizeof buf, "%02d:%02d:00", 7 + rng.Below(12), rng.Below(60));
        return fit(buf);
    }
    if (n == "PAYMONTH") {
        std::snprintf(buf, sizeof buf, "%04d-%02d", 2023 + rng.Below(3), 1 + rng.Below(12));
        return fit(buf);
    }
    if (f.length == 1)
        return std::string(1, "ABCDEFG"[rng.Below(3)]);
    if (n == "DOCTYPE" && table == "COUNTER.DBF") {
        static const char* const kDocs[] = {"INVOICE", "ORDER",  "PURCHASE", "RETURN",
                                            "PAYMENT", "SUPPAY", "VOUCHER",  "DELIVERY",
                                            "COUNT",   "PORDER", "CONTRACT", "LOAN"};
        return kDocs[(recno - 1) % 12];
    }
    if (n == "USERNAME") {
        std::snprintf(buf, sizeof buf, "user%d", recno);
        return fit(buf);
    }
    std::snprintf(buf, sizeof buf, "%s %s %d", kGoods[rng.Below(20)], kCities[rng.Below(12)],
                  recno);
    return fit(buf);
}

// ---- Files.

// Byte `at` of a file held in a string, for the engine's little-endian helpers.
uint8_t* BytesAt(std::string& b, size_t at) {
    return reinterpret_cast<uint8_t*>(&b[at]);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void StampDate(std::string& b, size_t at) {
    b[at] = static_cast<char>(kStampYear - 1900);
    b[at + 1] = static_cast<char>(kStampMonth);
    b[at + 2] = static_cast<char>(kStampDay);
}

// A dBASE IV memo file holding `memos` (block numbers are assigned in order from 1).
std::string MemoFileBytes(const std::string& baseName, const std::vector<std::string>& memos,
                          std::vector<uint32_t>& blocks) {
    std::string b(kMemoBlock, '\0');
    for (size_t i = 0; i < baseName.size() && i < 8; ++i)
        b[8 + i] = baseName[i];
    b[18] = 0x02;
    b[19] = 0x01;
    ari::engine::PutLE16(BytesAt(b, 20), kMemoBlock);
    blocks.clear();
    for (const std::string& text : memos) {
        blocks.push_back(static_cast<uint32_t>(b.size() / kMemoBlock));
        std::string memo(8, '\0');
        memo[0] = '\xFF';
        memo[1] = '\xFF';
        memo[2] = '\x08';
        memo += text;
        ari::engine::PutLE32(BytesAt(memo, 4), static_cast<uint32_t>(text.size() + 8));
        memo.resize((memo.size() + kMemoBlock - 1) / kMemoBlock * kMemoBlock, '\0');
        b += memo;
    }
    ari::engine::PutLE32(BytesAt(b, 0), static_cast<uint32_t>(b.size() / kMemoBlock));
    return b;
}

std::string BaseName(const std::string& file) {
    return file.substr(0, file.rfind('.'));
}

// Record `r` of the demo tables is deleted when this says so (about one in nine).
bool DemoDeleted(int r) {
    return r % 9 == 4;
}

// Creates `design` in `folder` with `records` records (deleted ones when `demo`); returns the
// table's path. Tables with tags get their production index through the engine.
std::string CreateTable(const std::string& folder, const TableDesign& design, int records,
                        bool demo, bool withIndex) {
    const std::vector<Field> fields = ParseFields(design.fields);
    std::vector<ari::engine::FieldDef> defs;
    bool hasMemo = false;
    for (const Field& f : fields) {
        ari::engine::FieldDef d;
        d.name = f.name;
        d.type = f.type;
        d.length = static_cast<uint16_t>(f.length);
        d.decimals = static_cast<uint8_t>(f.decimals);
        defs.push_back(d);
        hasMemo = hasMemo || f.type == 'M';
    }
    const std::string path = folder + design.file;
    const bool indexed = !design.tags.empty();

    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> memos;
    std::vector<std::pair<size_t, size_t>> memoSlots;  // row, field of each memo
    uint32_t seed = 2166136261u;  // FNV-1a of the file name: the same data on every build
    for (char c : design.file)
        seed = (seed ^ static_cast<uint8_t>(c)) * 16777619u;
    Rng rng(seed + (demo ? 7u : 0u));
    for (int r = 1; r <= records; ++r) {
        std::vector<std::string> row;
        for (size_t i = 0; i < fields.size(); ++i) {
            row.push_back(Value(design.file, fields[i], i, r, rng));
            if (fields[i].type == 'M' && r % 3 == 1) {
                memos.push_back("Note " + std::to_string(r) + " of " + BaseName(design.file) +
                                ": delivered on time, pays by cheque; call before visiting.");
                memoSlots.emplace_back(rows.size(), i);
            }
        }
        rows.push_back(std::move(row));
    }
    if (hasMemo) {
        std::vector<uint32_t> blocks;
        WriteBytes(folder + BaseName(design.file) + ".DBT",
                   MemoFileBytes(BaseName(design.file), memos, blocks));
        for (size_t k = 0; k < memoSlots.size(); ++k) {
            std::string pointer = std::to_string(blocks[k]);
            pointer.insert(0, 10 - pointer.size(), ' ');
            rows[memoSlots[k].first][memoSlots[k].second] = pointer;
        }
    }
    {
        ari::engine::DbfWriter writer(path, defs, hasMemo ? kVersionMemo4 : kVersionNoMemo,
                                      indexed ? kLanguageDriverAnsi : 0);
        for (size_t r = 0; r < rows.size(); ++r)
            writer.Append(rows[r], demo && DemoDeleted(static_cast<int>(r) + 1));
        writer.Finish();
    }
    if (indexed && withIndex) {
        TTable table("Generator");
        table.SetDatabaseName(folder);
        table.SetTableName(design.file);
        for (const auto& [tag, key] : design.tags)
            table.AddIndex(tag, key, ixExpression);
    }
    return path;
}

// The engine's index file of a table: the base name with ".mdx" (any case) beside it.
std::string IndexFileOf(const std::string& folder, const std::string& file) {
    return ari::FindFileNoCase(folder, BaseName(file) + ".mdx");
}

// Sets the fixed dates and the two header bytes a template must have.
void FixTemplateHeaders(const std::string& folder, const TableDesign& design) {
    const bool indexed = !design.tags.empty();
    std::string dbf = ReadBytes(folder + design.file);
    StampDate(dbf, 1);
    dbf[kDbfProductionFlag] = indexed ? 1 : 0;
    dbf[kDbfLanguageDriver] = static_cast<char>(indexed ? kLanguageDriverAnsi : 0);
    WriteBytes(folder + design.file, dbf);
    if (!indexed)
        return;
    const std::string mdxName = IndexFileOf(folder, design.file);
    if (mdxName.empty())
        throw std::runtime_error("no index file made for " + design.file);
    std::string mdx = ReadBytes(folder + mdxName);
    StampDate(mdx, 1);
    StampDate(mdx, 44);
    const unsigned tags = ari::engine::GetLE16(BytesAt(mdx, 28));
    for (unsigned k = 1; k <= tags; ++k) {
        const size_t tagHeader =
            static_cast<size_t>(ari::engine::GetLE32(BytesAt(mdx, 512 + 32 * k))) * 512;
        if (tagHeader + 260 <= mdx.size())
            StampDate(mdx, tagHeader + 257);
    }
    WriteBytes(folder + mdxName, mdx);
}

// ---- Archive.

struct Entry {
    std::string name;  // as stored in the archive
    std::string path;  // the file on disk
};

void WriteArchive(const std::string& out, std::vector<Entry> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return ari::LessNoCase(a.name, b.name); });
    // The archive library writes by name: into the AtomicFile's temporary, which then takes the
    // archive's place whole (a leftover of an ended build is removed first).
    ari::AtomicFile file(out, ari::PartialPathFor(out), ari::AtomicFile::Naming::Exact,
                         [](const std::string& leftover) { return ari::RemoveFile(leftover); });
    const std::string& tmp = file.TemporaryPath();
    zipFile zf = zipOpen64(tmp.c_str(), APPEND_STATUS_CREATE);
    if (!zf)
        throw std::runtime_error("cannot create " + tmp);
    for (const Entry& e : entries) {
        const std::string data = ReadBytes(e.path);
        zip_fileinfo info{};
        info.tmz_date.tm_year = kStampYear;
        info.tmz_date.tm_mon = kStampMonth - 1;
        info.tmz_date.tm_mday = kStampDay;
        info.tmz_date.tm_hour = kStampHour;
        info.dosDate = 0;
        info.internal_fa = 0;
        info.external_fa = kAttrArchive;
        int rc =
            zipOpenNewFileInZip4_64(zf, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                    Z_DEFAULT_STRATEGY, nullptr, 0, kMadeByDos20, 0, 0);
        if (rc == ZIP_OK)
            rc = zipWriteInFileInZip(zf, data.data(), static_cast<unsigned>(data.size()));
        if (rc == ZIP_OK)
            rc = zipCloseFileInZip(zf);
        if (rc != ZIP_OK) {
            zipClose(zf, nullptr);
            throw std::runtime_error("cannot add " + e.name + " to " + tmp);
        }
    }
    if (zipClose(zf, nullptr) != ZIP_OK)
        throw std::runtime_error("cannot finish " + tmp);
    file.Commit();
}

std::string MakeTempFolder() {
    const std::string t = ari::Env::Default()->MakeUniqueFolder(
        (fs::temp_directory_path() / "maketemplates-").string());
    if (t.empty())
        throw std::runtime_error("cannot make a temporary folder");
    return t + "/";
}

// The shape the deployment's template set must have; a catalogue edit that breaks it stops
// the build here rather than in the field.
void CheckCatalogue() {
    int tables = 0, upperExt = 0, indexed = 0, memo = 0, filled = 0;
    for (const TableDesign& design : Catalogue()) {
        ++tables;
        upperExt += EndsWith(design.file, ".DBF") ? 1 : 0;
        indexed += design.tags.empty() ? 0 : 1;
        memo += design.fields.find(":M") != std::string::npos ? 1 : 0;
        filled += design.templateRecords > 0 ? 1 : 0;
        if (design.templateRecords > 310)
            throw std::runtime_error(design.file + ": too many records");
    }
    if (tables != 64 || upperExt != 63 || indexed != 52 || memo != 3 || filled != 16)
        throw std::runtime_error("the catalogue does not have the template set's shape (" +
                                 std::to_string(tables) + " tables, " + std::to_string(upperExt) +
                                 " .DBF, " + std::to_string(indexed) + " indexed, " +
                                 std::to_string(memo) + " with memos, " + std::to_string(filled) +
                                 " with records)");
}

// Builds the template set in `folder` and returns the archive entries.
std::vector<Entry> BuildTemplates(const std::string& folder) {
    CheckCatalogue();
    std::vector<Entry> entries;
    WriteBytes(folder + kVersionFileName, kVersionFileText);
    entries.push_back({kVersionFileName, folder + kVersionFileName});
    for (const TableDesign& design : Catalogue()) {
        CreateTable(folder, design, design.templateRecords, false, true);
        FixTemplateHeaders(folder, design);
        entries.push_back({design.file, folder + design.file});
        const std::string base = BaseName(design.file);
        if (!design.tags.empty())
            entries.push_back({base + ".MDX", folder + IndexFileOf(folder, design.file)});
        if (fs::exists(folder + base + ".DBT"))
            entries.push_back({base + ".DBT", folder + base + ".DBT"});
    }
    return entries;
}

int MakeArchive(const std::string& out, const std::string& keep) {
    const std::string folder = MakeTempFolder();
    try {
        const std::vector<Entry> entries = BuildTemplates(folder);
        WriteArchive(out, entries);
        if (!keep.empty()) {
            fs::create_directories(keep);
            for (const Entry& e : entries)
                fs::copy_file(e.path, ari::WithTrailingSeparator(keep) + e.name,
                              fs::copy_options::overwrite_existing);
        }
        std::cout << "maketemplates: " << entries.size() << " entries in " << out << "\n";
    } catch (...) {
        fs::remove_all(folder);
        throw;
    }
    fs::remove_all(folder);
    return 0;
}

// How a demo table's index stands before the first maintenance run.
enum class DemoIndex { Fresh, Stale, Missing };

DemoIndex DemoIndexState(size_t tableNo) {
    switch (tableNo % 4) {
        case 1:
            return DemoIndex::Stale;  // the template's index beside the filled table
        case 3:
            return DemoIndex::Missing;  // lost: no index file, header names none
        default:
            return DemoIndex::Fresh;
    }
}

const char* const kDemoMarker = ".demo-live";

int MakeDemo(const std::string& target) {
    const std::string folder = ari::WithTrailingSeparator(target);
    // A link would have the folder it names emptied: only a folder of its own is ever removed.
    if (fs::is_symlink(fs::path(folder).parent_path()))
        throw std::runtime_error(target + " is a symbolic link; not touched");
    if (fs::exists(folder)) {
        if (!fs::exists(folder + kDemoMarker) && !fs::is_empty(folder))
            throw std::runtime_error(folder + " exists and is not a demo folder; not touched");
        fs::remove_all(folder);
    }
    fs::create_directories(folder);
    WriteBytes(folder + kDemoMarker, "A demo live folder made by maketemplates --demo.\n");
    const std::string templates = MakeTempFolder();
    try {
        BuildTemplates(templates);
        size_t tableNo = 0;
        int stale = 0, missing = 0, fresh = 0, deleted = 0;
        for (const TableDesign& design : Catalogue()) {
            ++tableNo;
            const DemoIndex state =
                design.tags.empty() ? DemoIndex::Missing : DemoIndexState(tableNo);
            CreateTable(folder, design, design.demoRecords, true, state == DemoIndex::Fresh);
            for (int r = 1; r <= design.demoRecords; ++r)
                deleted += DemoDeleted(r) ? 1 : 0;
            if (design.tags.empty())
                continue;
            if (state == DemoIndex::Stale) {
                const std::string base = BaseName(design.file);
                fs::copy_file(templates + IndexFileOf(templates, design.file),
                              folder + base + ".mdx");
                std::string dbf = ReadBytes(folder + design.file);
                dbf[kDbfProductionFlag] = 1;
                WriteBytes(folder + design.file, dbf);
                ++stale;
            } else if (state == DemoIndex::Missing) {
                ++missing;
            } else {
                ++fresh;
            }
        }
        std::cout << "maketemplates: demo live folder " << folder << ": " << Catalogue().size()
                  << " tables, " << deleted << " deleted records, " << fresh << " current indexes, "
                  << stale << " stale, " << missing << " missing\n";
    } catch (...) {
        fs::remove_all(templates);
        throw;
    }
    fs::remove_all(templates);
    return 0;
}

int Usage() {
    std::cerr << "usage: maketemplates --archive OUT.zip [--keep FOLDER]\n"
                 "       maketemplates --demo FOLDER\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ari::IgnoreFileSizeSignal();  // a write past the size limit fails, and is reported
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 2 && args[0] == "--archive") {
            std::string keep;
            if (args.size() == 4 && args[2] == "--keep")
                keep = args[3];
            else if (args.size() != 2)
                return Usage();
            return MakeArchive(args[1], keep);
        }
        if (args.size() == 2 && args[0] == "--demo")
            return MakeDemo(args[1]);
        return Usage();
    } catch (const std::exception& e) {
        std::cerr << "maketemplates: " << e.what() << "\n";
        return 1;
    }
}
