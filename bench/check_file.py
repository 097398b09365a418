#!/usr/bin/env python3
"""Writes a backup file of about SIZE MiB for bench/check.sh: the header,
two tables (one row a statement, and several rows a statement) whose rows
look like a shop's (numbers, names, dates, NULL, escaped text), and the
closing block.  Usage: check_file.py PATH SIZE_MIB"""
import sys

path, mib = sys.argv[1], int(sys.argv[2])
hashes = "#" * 84
out = open(path, "wb")
w = lambda s: out.write(s.encode() + b"\r\n")
for line in [hashes, "#", "# Backup der Datenbank 'shop'", "# Erstellt: 08.12.2026 03:00:00",
             "#", hashes, "/*M!999999\\- enable the sandbox mode */", "", "/*!\\C utf8mb4 */",
             "/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */; "
             "/*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */; "
             "/*!40014 SET autocommit=0 */;", ""]:
    w(line)
columns = ["id", "customer", "name", "note", "price", "created", "state", "memo"]
create = ["CREATE TABLE `%s` ("] + ["  `%s` varchar(200) DEFAULT NULL," % c for c in columns] + \
         ["  PRIMARY KEY (`id`)", ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;"]
def row(i):
    note = "NULL" if i % 7 == 0 else "'Lieferung \\'%d\\' nach M\\\\unchen'" % i
    return "('%d','%d','Kunde %d',%s,'%d.%02d','2026-12-0%d 10:%02d:%02d','offen','x')" % (
        i, i * 7 % 10007, i, note, i % 1000, i % 100, i % 9 + 1, i % 60, i * 3 % 60)
target = mib << 20
for table, shared in (("orders", False), ("items", True)):
    w("# Tabelle '%s'" % table)
    w("# Update: '08.12.2026 02:00:00'")
    w(hashes)
    w("DROP TABLE IF EXISTS `%s`;" % table)
    for line in create:
        w(line % table if "%s" in line and line.startswith("CREATE") else line)
    w("")
    i = 0
    limit = target // 2 if not shared else target
    buf = []
    while out.tell() < limit:
        for _ in range(10000):
            i += 1
            if shared:
                if i % 100 == 1:
                    buf.append("INSERT INTO `%s` VALUES" % table)
                buf.append(row(i) + ("," if i % 100 else ";"))
            else:
                buf.append("INSERT INTO `%s` VALUES %s;" % (table, row(i)))
        out.write(("\r\n".join(buf) + "\r\n").encode())
        buf = []
    if shared and i % 100:
        w("INSERT INTO `%s` VALUES" % table)
        w(row(i + 1) + ";")
    w("")
w("COMMIT;")
w("# Einstellungen 'save-strucktur=1 save-daten=1 droptable=1'")
w("# Kennung 'items' 1796675194 InnoDB :30:17")
w("# Kennung 'orders' 1796675194 InnoDB :31:18")
