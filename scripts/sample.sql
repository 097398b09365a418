-- A small sample shop database.
CREATE TABLE kunden (
  id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name VARCHAR(60) NOT NULL,
  ort VARCHAR(60) NULL
) ENGINE=InnoDB;
INSERT INTO kunden (name, ort) VALUES
  ('Anna Müller', 'Köln'), ('Bernd Schröder', NULL), ('Clara O''Neill', 'Bremen');

CREATE TABLE artikel (
  id INT NOT NULL PRIMARY KEY,
  bezeichnung VARCHAR(80) NOT NULL,
  preis DECIMAL(8,2) NULL
) ENGINE=InnoDB;
INSERT INTO artikel VALUES (1, 'Schraube', 0.10), (2, 'Peter''s Stift', NULL),
  (3, 'Mutter\nM8', 0.05);

CREATE TABLE bestellungen (
  id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  kunde_id INT NOT NULL,
  artikel_id INT NOT NULL,
  menge INT NOT NULL DEFAULT 1,
  bestellt_am DATETIME NOT NULL
) ENGINE=InnoDB;
INSERT INTO bestellungen (kunde_id, artikel_id, menge, bestellt_am) VALUES
  (1, 1, 100, '2026-11-30 09:15:00'), (1, 2, 2, '2026-12-01 14:00:00'),
  (3, 3, 50, '2026-12-02 08:30:00');
