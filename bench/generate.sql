-- The benchmark database. The row counts @KUNDEN@, @BESTELLUNGEN@ and
-- @EREIGNISSE@ are filled in by run.sh; the rows come from the Sequence
-- engine's seq_1_to_N tables, so everything is built inside the server.

CREATE TABLE kunden (
  id INT NOT NULL PRIMARY KEY,
  name VARCHAR(80) NOT NULL,
  ort VARCHAR(60) NULL,
  umsatz DECIMAL(12,2) NOT NULL,
  angelegt DATETIME NOT NULL,
  notiz TEXT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO kunden
SELECT seq,
       CONCAT(ELT(1 + seq % 5, 'Anna Müller', 'Bernd', 'Clara O''Neill',
                  'D\\Arcy', 'Émile "Mili"'), ' #', seq),
       IF(seq % 7 = 0, NULL,
          ELT(1 + seq % 4, 'Köln', 'Bremen', 'Saint-Étienne', 'Tab\there')),
       (seq * 37 % 100000000) / 100,
       TIMESTAMP '2020-01-01 00:00:00' + INTERVAL (seq * 131) % 150000000 SECOND,
       IF(seq % 3 = 0, NULL,
          CONCAT('Zeile 1 von ', seq, '\nZeile 2: it''s a \\ back\r\nEnde'))
FROM seq_1_to_@KUNDEN@;

CREATE TABLE bestellungen (
  id BIGINT NOT NULL PRIMARY KEY,
  kunde_id INT NOT NULL,
  menge SMALLINT NOT NULL,
  preis DECIMAL(10,2) NULL,
  rabatt DOUBLE NULL,
  bestellt_am DATETIME NOT NULL,
  status VARCHAR(20) NULL,
  bezahlt TINYINT(1) NOT NULL,
  KEY (kunde_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO bestellungen
SELECT seq,
       1 + seq % @KUNDEN@,
       1 + seq % 50,
       IF(seq % 11 = 0, NULL, (seq % 1000000) / 100),
       IF(seq % 5 = 0, NULL, (seq % 1000) / 1000),
       TIMESTAMP '2021-06-01 08:00:00' + INTERVAL (seq * 61) % 90000000 SECOND,
       ELT(1 + seq % 4, 'offen', 'versandt', 'storniert', NULL),
       seq % 2
FROM seq_1_to_@BESTELLUNGEN@;

CREATE TABLE ereignisse (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  art ENUM('login', 'logout', 'fehler') NOT NULL,
  nachricht VARCHAR(255) NOT NULL,
  daten BLOB NULL,
  zeitpunkt TIMESTAMP NULL,
  dauer_ms BIGINT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO ereignisse
SELECT seq,
       1 + seq % 3,
       CONCAT('Ereignis ', seq,
              IF(seq % 4 = 0, ': Pfad C:\\temp\\x', ''),
              IF(seq % 6 = 0, ' "zitiert" und ''einfach''', '')),
       IF(seq % 9 = 0, NULL,
          CONCAT(CHAR(seq % 256), UNHEX(MD5(seq)), CHAR(0), '''\\')),
       IF(seq % 17 = 0, NULL, FROM_UNIXTIME(1600000000 + seq * 7)),
       IF(seq % 13 = 0, NULL, seq * seq % 100000)
FROM seq_1_to_@EREIGNISSE@;

-- The small table the incremental rounds change.
CREATE TABLE einstellungen (
  schluessel VARCHAR(40) NOT NULL PRIMARY KEY,
  wert VARCHAR(200) NULL,
  geaendert DATETIME NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO einstellungen
SELECT CONCAT('schluessel_', seq), IF(seq % 4 = 0, NULL, CONCAT('Wert ''', seq, '''')),
       NULL
FROM seq_1_to_20;
