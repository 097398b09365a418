####################################################################################
#
# Backup der Datenbank 'vkt_rt_objects'
# Erstellt: 07.12.2026 11:12:25
#
####################################################################################

/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */; /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */; /*!40103 SET TIME_ZONE='+00:00' */;

# Tabelle 'audit'
# Update: '07.12.2026 12:12:22'
####################################################################################
DROP TABLE IF EXISTS `audit`;
CREATE TABLE `audit` (
  `id` int(11) NOT NULL AUTO_INCREMENT,
  `note` varchar(100) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;


# Tabelle 'items'
# Update: '07.12.2026 12:12:22'
####################################################################################
DROP TABLE IF EXISTS `items`;
CREATE TABLE `items` (
  `id` int(11) NOT NULL,
  `name` varchar(20) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=MyISAM DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

INSERT INTO `items` VALUES ('1','eins');
INSERT INTO `items` VALUES ('2','zwei');

# Funktion 'twice'
####################################################################################
DELIMITER ;;
DROP FUNCTION IF EXISTS `twice`;;
/*!50003 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, @saved_sql_mode = @@sql_mode, character_set_client = utf8mb4, character_set_results = utf8mb4, collation_connection = utf8mb4_general_ci, sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_AUTO_CREATE_USER,NO_ENGINE_SUBSTITUTION' */;;
CREATE DEFINER=`vkt`@`localhost` FUNCTION `twice`(x INT) RETURNS int(11)
    DETERMINISTIC
BEGIN
  DECLARE y INT;
  SET y = x * 2;
  RETURN y;
END;;
/*!50003 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection, sql_mode = @saved_sql_mode */;;
DELIMITER ;

# Prozedur 'carriage'
####################################################################################
DELIMITER ;;
DROP PROCEDURE IF EXISTS `carriage`;;
/*!50003 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, @saved_sql_mode = @@sql_mode, character_set_client = utf8mb4, character_set_results = utf8mb4, collation_connection = utf8mb4_general_ci, sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_AUTO_CREATE_USER,NO_ENGINE_SUBSTITUTION' */;;
CREATE DEFINER=`vkt`@`localhost` PROCEDURE `carriage`()
SELECT 'crlf
end' AS text;;
/*!50003 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection, sql_mode = @saved_sql_mode */;;
DELIMITER ;

# Prozedur 'note_all'
####################################################################################
DELIMITER ;;
DROP PROCEDURE IF EXISTS `note_all`;;
/*!50003 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, @saved_sql_mode = @@sql_mode, character_set_client = utf8mb4, character_set_results = utf8mb4, collation_connection = utf8mb4_general_ci, sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_AUTO_CREATE_USER,NO_ENGINE_SUBSTITUTION' */;;
CREATE DEFINER=`vkt`@`localhost` PROCEDURE `note_all`(tag VARCHAR(10))
BEGIN
  INSERT INTO audit (note) SELECT CONCAT(tag, ';', name) FROM items;
  SELECT 'a
# Tabelle ''items''
INSERT INTO `items` VALUES (''9'');' AS text;
END;;
/*!50003 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection, sql_mode = @saved_sql_mode */;;
DELIMITER ;

# Tabelle 'doubled'
# Update: ''
####################################################################################
DROP VIEW IF EXISTS `doubled`;
/*!50001 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, character_set_client = utf8mb4, character_set_results = utf8mb4, collation_connection = utf8mb4_general_ci */;
CREATE ALGORITHM=UNDEFINED DEFINER=`vkt`@`localhost` SQL SECURITY DEFINER VIEW `doubled` AS select `items`.`id` AS `id`,`twice`(`items`.`id`) AS `d` from `items`;
/*!50001 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection */;


# Tabelle 'v_latin1'
# Update: ''
####################################################################################
DROP VIEW IF EXISTS `v_latin1`;
/*!50001 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, character_set_client = latin1, character_set_results = latin1, collation_connection = latin1_swedish_ci */;
CREATE ALGORITHM=UNDEFINED DEFINER=`vkt`@`localhost` SQL SECURITY DEFINER VIEW `v_latin1` AS select _latin1'ä' AS `c`,'ä' AS `ä`,'x' collate latin1_german2_ci AS `k`;
/*!50001 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection */;


# Tabelle 'v_utf8'
# Update: ''
####################################################################################
DROP VIEW IF EXISTS `v_utf8`;
/*!50001 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, character_set_client = utf8mb3, character_set_results = utf8mb3, collation_connection = utf8mb3_general_ci */;
CREATE ALGORITHM=UNDEFINED DEFINER=`vkt`@`localhost` SQL SECURITY DEFINER VIEW `v_utf8` AS select 'x' collate utf8mb3_swedish_ci AS `c`,'Ã¤' AS `d`,_latin1'Ã¶' AS `e`;
/*!50001 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection */;


# Tabelle 'v_utf8mb4'
# Update: ''
####################################################################################
DROP VIEW IF EXISTS `v_utf8mb4`;
/*!50001 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, character_set_client = utf8mb4, character_set_results = utf8mb4, collation_connection = utf8mb4_general_ci */;
CREATE ALGORITHM=UNDEFINED DEFINER=`vkt`@`localhost` SQL SECURITY DEFINER VIEW `v_utf8mb4` AS select 'ðŸ˜€' AS `c`,'x' collate utf8mb4_bin AS `k`;
/*!50001 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection */;


# Trigger 'items_added'
####################################################################################
DELIMITER ;;
DROP TRIGGER IF EXISTS `items_added`;;
/*!50003 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, @saved_sql_mode = @@sql_mode, character_set_client = utf8mb4, character_set_results = utf8mb4, collation_connection = utf8mb4_general_ci, sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_AUTO_CREATE_USER,NO_ENGINE_SUBSTITUTION' */;;
CREATE DEFINER=`vkt`@`localhost` TRIGGER items_added AFTER INSERT ON items FOR EACH ROW
BEGIN
  INSERT INTO audit (note) VALUES (CONCAT('added;', NEW.id));
  INSERT INTO audit (note) VALUES (twice(NEW.id));
END;;
/*!50003 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection, sql_mode = @saved_sql_mode */;;
DELIMITER ;

# Trigger 'items_named'
####################################################################################
DELIMITER ;;
DROP TRIGGER IF EXISTS `items_named`;;
/*!50003 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, @saved_sql_mode = @@sql_mode, character_set_client = latin1, character_set_results = latin1, collation_connection = latin1_swedish_ci, sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_AUTO_CREATE_USER,NO_ENGINE_SUBSTITUTION' */;;
CREATE DEFINER=`vkt`@`localhost` TRIGGER items_named BEFORE INSERT ON items FOR EACH ROW SET NEW.name = IFNULL(NEW.name, 'ä');;
/*!50003 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection, sql_mode = @saved_sql_mode */;;
DELIMITER ;

# Event 'nightly'
####################################################################################
DELIMITER ;;
DROP EVENT IF EXISTS `nightly`;;
/*!50003 SET @saved_cs_client = @@character_set_client, @saved_cs_results = @@character_set_results, @saved_col_connection = @@collation_connection, @saved_sql_mode = @@sql_mode, @saved_time_zone = @@time_zone, character_set_client = utf8mb4, character_set_results = utf8mb4, collation_connection = utf8mb4_general_ci, sql_mode = 'STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_AUTO_CREATE_USER,NO_ENGINE_SUBSTITUTION', time_zone = 'SYSTEM' */;;
CREATE DEFINER=`vkt`@`localhost` EVENT `nightly` ON SCHEDULE EVERY 1 DAY STARTS '2030-01-01 03:00:00' ON COMPLETION NOT PRESERVE ENABLE DO BEGIN
  DELETE FROM audit WHERE id < 0;
  INSERT INTO audit (note) VALUES ('nightly;');
END;;
/*!50003 SET character_set_client = @saved_cs_client, character_set_results = @saved_cs_results, collation_connection = @saved_col_connection, sql_mode = @saved_sql_mode, time_zone = @saved_time_zone */;;
DELIMITER ;

