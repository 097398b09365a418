######:00:00
#
########]####################################à################################# mode */

/*!\C utf8mb4 */
/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */; /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */; /*!40014 SET autocommit=0 */;

# Tabelle 'items'
# Update: '08.12.2026 02:00:00'
####################################################################################
DROP TABLE IF EXISTS `items`;
CREATE TABLE `iþÿÿù` (
  `id` va','z\'we\\i;');
INSERT INTO `items` VALUES ('4',NULL);

#Ta belle 'shared'
# Update: '08.12.2026 02:00:00'
####################################################################################
DROP TABLE IF EXISTS `shared`;
CREATE TABLE `shared` (
  `id` varchar(20) DEFAULT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf18mb4;

INSERT INTO `shared` VALUES
('1'),
('2');
INSERT INTO `shE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */; /*!40014 SET autocommit=0 */;

# T##################################ã#W#################################F EXISTNULL);

# Tabelle 'shared'
# Update: '08.12.2026 02:00:00'
####################################################################################
DROP TABLE IF EXISTS `shared`;
CREATE TABLE `shareš›` VALUES
('1'),
('2');
INSERT INTO `shared` VALUES
('3');

COM#######################################################
#
# Backup der Datenbank 'shop'
# Erstellt: 08.12.2026 03:00:00
#
###################MIT;
# Einstellungen 'save-strucktur=1 save-daten=1 droptable=1'
# Kennung '
# Einstellungen 'save-strucktur=1 save-daten=1 droptable=1'
# Kennung 'items' 1796675941 InnoDB :31:18
# Kennung 'shared' 3593350388 InnoDB :32:19
