####################################################################################
#
# Backup der Datenbank 'shop'
# Erstellt: 08.12.2026 03:00:00
#
####################################################################################
/*M!999999\- enable the sandbox mode */

/*!\C utf8mb4 */
/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */; /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */; /*!40014 SET autocommit=0 */;

# Tabelle 'items'
# Update: '08.12.2026 02:00:00'
####################################################################################
DROP TABLE IF EXISTS `items`;
CREATE TABLE `items` (
  `id` varchar(20) DEFAULT NULL,
  `name` varchar(20) DEFAULT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO `items` VALUES ('1','eins');
INSERT INTO `items` VALUES ('2','z\'we\\i;');
INSERT INTO `items` VALUES ('3',NULL);

# Tabelle 'shared'
# Update: '08.12.2026 02:00:00'
####################################################################################
DROP TABLE IF EXISTS `shared`;
CREATE TABLE `shared` (
  `id` varchar(20) DEFAULT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO `shared` VALUES
('1'),
('2');
INSERT INTO `shared` VALUES
('3');

COMMIT;
# Einstellungen 'save-strucktur=1 save-daten=1 droptable=1'
# Kennung 'items' 1796675194 InnoDB :31:18
# Kennung 'shared' 1796675194 InnoDB :32:19
