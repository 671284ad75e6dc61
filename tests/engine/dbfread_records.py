#!/usr/bin/python3
# Prints a dBASE table as the independent reader dbfread (Debian python3-dbfread) sees it.
#   dbfread_records.py TABLE          one line per record: "L ..." live records in order, then
#                                     "D ..." deleted ones; fields as NAME=hex of the raw bytes,
#                                     memo fields of dBASE tables as NAME=memo:hex of the memo
#   dbfread_records.py --info TABLE   "version 0x..", "records N", "field NAME T LEN DEC" lines
import sys

from dbfread import DBF, FieldParser

FOX_VERSIONS = (0x30, 0x31, 0x32, 0xF5, 0xFB)


class RawExceptMemos(FieldParser):
    def parse(self, field, data):
        if field.type in 'MBG' and self.dbversion not in FOX_VERSIONS:
            value = FieldParser.parse(self, field, data)
            if value is None:
                return b''
            if isinstance(value, str):
                return value.encode('latin-1')
            return bytes(value)
        return data


def main():
    info = sys.argv[1] == '--info'
    path = sys.argv[-1]
    table = DBF(path, parserclass=RawExceptMemos, encoding='latin-1', load=False,
                ignore_missing_memofile=True, recfactory=None)
    if info:
        print('version 0x%02X' % table.header.dbversion)
        print('records %d' % table.header.numrecords)
        for f in table.fields:
            print('field %s %s %d %d' % (f.name, f.type, f.length, f.decimal_count))
        return
    memo = set()
    if table.header.dbversion not in FOX_VERSIONS:
        memo = {f.name for f in table.fields if f.type in 'MBG'}
    for tag, records in (('L', table), ('D', table.deleted)):
        for rec in records:
            parts = [tag]
            for name, value in rec:  # pairs: a table may repeat a field name
                parts.append('%s=%s%s' % (name, 'memo:' if name in memo else '', value.hex()))
            print(' '.join(parts))


main()
