# Writes the SQL for many small tables and views (run by tables.sh):
#   awk -v t1=FIRST -v t2=LAST -v v1=FIRST -v v2=LAST -f tables.awk
# Tables t<FIRST>..t<LAST> (five digits) have one of three column sets and
# 3 to 7 rows of mixed values: quotes, backslashes, umlauts, NULLs, dates.
# Views v<FIRST>..v<LAST> (four digits) come in chains of up to four: a
# view reads the view named after it, the last of a chain reads tables
# (one, a join of two, or an aggregate). Every view has the columns
# id, name, betrag. The views are created last to first within a chain,
# so a view's name sorts before the views it reads. Views read only
# tables t1..t2 and views v1..v2 of this call.
function tname(i) { return sprintf("t%05d", i) }
function vname(i) { return sprintf("v%04d", i) }
function name_of(i, r,    k) {
  k = (i + r) % 5
  if (k == 0) return "'Anna M\303\274ller'"
  if (k == 1) return "'Clara O''Neill'"
  if (k == 2) return "'D\\\\Arcy'"
  if (k == 3) return "'\303\211mile \"Mili\"'"
  return "'Tab\\there #" r "'"
}
function datetime(i, r) {
  return sprintf("'20%02d-%02d-%02d %02d:%02d:%02d'", 10 + (i + r) % 15, 1 + (i * 7 + r) % 12,
                 1 + (i + r * 3) % 28, (i + r) % 24, (i * r) % 60, (i + 2 * r) % 60)
}
function table(i,    n, r, kind, sep) {
  kind = i % 3
  n = 3 + i % 5
  if (kind == 0) {
    printf "CREATE TABLE %s (id INT NOT NULL PRIMARY KEY, name VARCHAR(40) NOT NULL, " \
           "betrag DECIMAL(10,2) NULL, am DATETIME NOT NULL, aktiv TINYINT(1) NOT NULL) " \
           "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;\n", tname(i)
  } else if (kind == 1) {
    printf "CREATE TABLE %s (id BIGINT UNSIGNED NOT NULL PRIMARY KEY, name VARCHAR(60) NULL, " \
           "betrag DOUBLE NOT NULL, notiz TEXT NULL, tag DATE NULL, KEY (name)) " \
           "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;\n", tname(i)
  } else {
    printf "CREATE TABLE %s (id SMALLINT NOT NULL AUTO_INCREMENT PRIMARY KEY, name CHAR(20) NOT NULL, " \
           "betrag INT NULL, geaendert TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP, daten BLOB NULL) " \
           "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;\n", tname(i)
  }
  printf "INSERT INTO %s VALUES ", tname(i)
  sep = ""
  for (r = 1; r <= n; r++) {
    if (kind == 0)
      printf "%s(%d, %s, %s, %s, %d)", sep, r, name_of(i, r),
             (r % 4 == 0 ? "NULL" : sprintf("%d.%02d", i * r % 10000, r * 7 % 100)), datetime(i, r), r % 2
    else if (kind == 1)
      printf "%s(%d, %s, %s, %s, %s)", sep, i * 1000 + r, (r % 3 == 0 ? "NULL" : name_of(i, r)),
             sprintf("%d.%d", i % 977, r), (r % 2 ? sprintf("'Zeile 1\\nZeile 2 von %d'", i) : "NULL"),
             (r == n ? "NULL" : substr(datetime(i, r), 1, 11) "'")
    else
      printf "%s(%d, %s, %s, %s, %s)", sep, r, name_of(i, r), (r % 3 == 0 ? "NULL" : -i * r),
             datetime(i, r), (r % 2 ? sprintf("X'00%02X27%02X5C'", r, i % 256) : "NULL")
    sep = ", "
  }
  print ";"
}
function view(j,    k, a, b) {
  k = (j - 1) % 4
  if (k < 3 && j < v2) {
    if (j % 2) printf "CREATE VIEW %s AS SELECT id, name, betrag FROM %s WHERE id > 0;\n", vname(j), vname(j + 1)
    else printf "CREATE VIEW %s AS SELECT id + 1 AS id, UPPER(name) AS name, betrag * 2 AS betrag FROM %s;\n", vname(j), vname(j + 1)
    return
  }
  a = t1 + (j * 7919) % (t2 - t1 + 1)
  b = t1 + (j * 104729 + 1) % (t2 - t1 + 1)
  if (j % 3 == 0)
    printf "CREATE VIEW %s AS SELECT x.id, x.name, x.betrag FROM %s x JOIN %s y ON y.id = x.id;\n", vname(j), tname(a), tname(b)
  else if (j % 3 == 1)
    printf "CREATE VIEW %s AS SELECT COUNT(*) AS id, MAX(name) AS name, SUM(betrag) AS betrag FROM %s;\n", vname(j), tname(a)
  else
    printf "CREATE VIEW %s AS SELECT id, name, betrag FROM %s WHERE betrag IS NOT NULL;\n", vname(j), tname(a)
}
BEGIN {
  print "SET NAMES utf8mb4;"
  for (i = t1; i <= t2; i++) table(i)
  # Last to first, so that every view exists before a view reads it.
  for (j = v2; j >= v1; j--) view(j)
}
