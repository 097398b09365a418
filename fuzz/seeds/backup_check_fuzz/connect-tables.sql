####################################################################################
#
# Backup der Datenbank 'vkt_sample'
# Erstellt: 09.12.2026 06:54:14
#
####################################################################################
/*M!999999\- enable the sandbox mode */

/*!\C utf8mb4 */
/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */; /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */; /*!40014 SET autocommit=0 */;

# Tabelle 'artikel'
# Update: '09.12.2026 06:53:58'
####################################################################################
DROP TABLE IF EXISTS `artikel`;
CREATE TABLE `artikel` (
  `id` int(11) NOT NULL,
  `bezeichnung` varchar(80) NOT NULL,
  `preis` decimal(8,2) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

INSERT INTO `artikel` VALUES ('1','Schraube','0.10');
INSERT INTO `artikel` VALUES ('2','Peter\'s Stift',NULL);
INSERT INTO `artikel` VALUES ('3','Mutter\nM8','0.05');

# Tabelle 'bestellungen'
# Update: '09.12.2026 06:53:58'
####################################################################################
DROP TABLE IF EXISTS `bestellungen`;
CREATE TABLE `bestellungen` (
  `id` int(11) NOT NULL AUTO_INCREMENT,
  `kunde_id` int(11) NOT NULL,
  `artikel_id` int(11) NOT NULL,
  `menge` int(11) NOT NULL DEFAULT 1,
  `bestellt_am` datetime NOT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB AUTO_INCREMENT=4 DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

INSERT INTO `bestellungen` VALUES ('1','1','1','100','2026-11-30 09:15:00');
INSERT INTO `bestellungen` VALUES ('2','1','2','2','2026-12-01 14:00:00');
INSERT INTO `bestellungen` VALUES ('3','3','3','50','2026-12-02 08:30:00');

# Tabelle 'cin'
# Update: ''
####################################################################################
DROP TABLE IF EXISTS `cin`;
CREATE TABLE `cin` (
  `id` int(11) NOT NULL,
  `v` varchar(10) DEFAULT NULL
) ENGINE=CONNECT DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci `TABLE_TYPE`='CSV';

INSERT INTO `cin` VALUES ('1','a');

# Tabelle 'cout'
# Update: ''
####################################################################################
DROP TABLE IF EXISTS `cout`;
CREATE TABLE `cout` (
  `id` int(11) NOT NULL,
  `v` varchar(10) DEFAULT NULL
) ENGINE=CONNECT DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci `TABLE_TYPE`='CSV' `FILE_NAME`='/tmp/cout.csv';

INSERT INTO `cout` VALUES ('2','b');

# Tabelle 'crem'
# Update: ''
####################################################################################
DROP TABLE IF EXISTS `crem`;
CREATE TABLE `crem` (
  `id` int(11) NOT NULL,
  `name` varchar(60) NOT NULL,
  `ort` varchar(60) DEFAULT NULL
) ENGINE=CONNECT DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci CONNECTION='mysql://root@localhost/vkt_sample/kunden' `TABLE_TYPE`='MYSQL';

INSERT INTO `crem` VALUES ('1','Anna Müller','Köln');
INSERT INTO `crem` VALUES ('2','Bernd Schröder',NULL);
INSERT INTO `crem` VALUES ('3','Clara O\'Neill','Bremen');

# Tabelle 'kunden'
# Update: '09.12.2026 06:53:58'
####################################################################################
DROP TABLE IF EXISTS `kunden`;
CREATE TABLE `kunden` (
  `id` int(11) NOT NULL AUTO_INCREMENT,
  `name` varchar(60) NOT NULL,
  `ort` varchar(60) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB AUTO_INCREMENT=4 DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

INSERT INTO `kunden` VALUES ('1','Anna Müller','Köln');
INSERT INTO `kunden` VALUES ('2','Bernd Schröder',NULL);
INSERT INTO `kunden` VALUES ('3','Clara O\'Neill','Bremen');

COMMIT;
# Einstellungen 'save-strucktur=1 save-daten=1 droptable=1'
# Kennung 'artikel' 1796795638 InnoDB 1796795638 :19:6
# Kennung 'bestellungen' 1796795638 InnoDB 1796795638 :20:7
# Kennung 'kunden' 1796795638 InnoDB 1796795638 :18:5
