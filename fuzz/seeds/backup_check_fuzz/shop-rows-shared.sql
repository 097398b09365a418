####################################################################################
#
# Backup der Datenbank 'shop'
# Erstellt: 07.12.2026 18:50:23
#
####################################################################################

/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */; /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */; /*!40014 SET autocommit=0 */;

# Tabelle 'artikel'
# Update: '07.12.2026 17:41:30'
####################################################################################
INSERT INTO `artikel` VALUES
('1','Schraube','0.10'),
('2','Peter\'s Stift',NULL);
INSERT INTO `artikel` VALUES
('3','Mutter\nM8','0.05');

COMMIT;

# Tabelle 'bestellungen'
# Update: '07.12.2026 17:41:30'
####################################################################################
INSERT INTO `bestellungen` VALUES
('1','1','1','100','2026-11-30 09:15:00'),
('2','1','2','2','2026-12-01 14:00:00');
INSERT INTO `bestellungen` VALUES
('3','3','3','50','2026-12-02 08:30:00');

COMMIT;

# Tabelle 'kunden'
# Update: '07.12.2026 17:41:30'
####################################################################################
INSERT INTO `kunden` VALUES
('1','Anna Müller','Köln'),
('2','Bernd Schröder',NULL);
INSERT INTO `kunden` VALUES
('3','Clara O\'Neill','Bremen');

COMMIT;
