"""Questions for the question bench about Sakila, the film rental sample
database (data/sakila): first every question of its public list, as
asked, then everyday ones.

Rows of (database, shape, question, SQL, kind, domain), read by
questions.py like its own tables: the expected answer is what the SQL
returns on the same server.
"""

DB = "sakila"
ACTORS = "SELECT CONCAT(first_name, ' ', last_name) FROM actor"
CUSTOMERS = "SELECT CONCAT(first_name, ' ', last_name) FROM customer"
FILMS = "SELECT title FROM film"
CATEGORIES = "SELECT name FROM category"
STAFF = "SELECT CONCAT(first_name, ' ', last_name) FROM staff"
# A payment belongs to the rental it pays for, and so to the film and the
# store of the copy rented.
PAY_FILM = ("payment p JOIN rental r ON r.rental_id = p.rental_id JOIN inventory i ON i.inventory_id = r.inventory_id "
            "JOIN film f ON f.film_id = i.film_id")
CUSTOMER_COUNTRY = ("customer cu JOIN address a ON a.address_id = cu.address_id JOIN city ci ON ci.city_id = a.city_id "
                    "JOIN country co ON co.country_id = ci.country_id")
YES_NO = "SELECT 'yes' UNION SELECT 'no'"


def Q(shape, question, sql, kind, domain=""):
    return (DB, shape, question, sql, kind, domain)


PUBLIC = [
 Q("group", "How many films are there for each of the categories in the category table?",
   "SELECT c.name, COUNT(*) FROM category c JOIN film_category fc ON fc.category_id = c.category_id GROUP BY c.category_id, c.name",
   "groups"),
 Q("count", "Determine the number of stores that the company has.", "SELECT COUNT(*) FROM store", "number"),
 Q("top by count", "Which actor has appeared in the most films?",
   "SELECT CONCAT(a.first_name, ' ', a.last_name) FROM actor a JOIN film_actor fa ON fa.actor_id = a.actor_id "
   "GROUP BY a.actor_id HAVING COUNT(*) = (SELECT MAX(n) FROM (SELECT COUNT(*) n FROM film_actor GROUP BY actor_id) t)",
   "entity", ACTORS),
 Q("duration", "Retrieve the 10 longest films.",
   "SELECT title, length FROM film WHERE length >= (SELECT length FROM film ORDER BY length DESC LIMIT 1 OFFSET 9) "
   "ORDER BY length DESC", "rows", FILMS),
 Q("count filtered", "How many copies of the film Hunchback Impossible exist in the inventory system?",
   "SELECT COUNT(*) FROM inventory i JOIN film f ON f.film_id = i.film_id WHERE f.title = 'HUNCHBACK IMPOSSIBLE'", "number"),
 Q("duration", "What are the shortest and longest movie durations?",
   "SELECT MIN(length) FROM film UNION ALL SELECT MAX(length) FROM film", "rows"),
 Q("many to many", "Display all actors who appear in the film Alone Trip.",
   "SELECT CONCAT(a.first_name, ' ', a.last_name) FROM actor a JOIN film_actor fa ON fa.actor_id = a.actor_id "
   "JOIN film f ON f.film_id = fa.film_id WHERE f.title = 'ALONE TRIP'", "list", ACTORS),
 Q("count distinct", "Determine the number of distinct last names of the actors in the database.",
   "SELECT COUNT(DISTINCT last_name) FROM actor", "number"),
 Q("decline", "Could you please provide a list of advisor and investor names in one table, noting whether each one "
   "is an investor or an advisor and, for the investors, which company they work with?", "", "decline"),
 Q("top by count", "Which is the most active customer (the customer that has rented the most number of films)?",
   "SELECT CONCAT(c.first_name, ' ', c.last_name) FROM customer c JOIN rental r ON r.customer_id = c.customer_id "
   "GROUP BY c.customer_id HAVING COUNT(*) = (SELECT MAX(n) FROM (SELECT COUNT(*) n FROM rental GROUP BY customer_id) t)",
   "entity", CUSTOMERS),
 Q("duration", "Retrieve all movies that have ARMAGEDDON in their title and have a duration longer than 100 minutes.",
   "SELECT title FROM film WHERE title LIKE '%ARMAGEDDON%' AND length > 100", "list", FILMS),
 Q("many to many", "Identify all movies categorized as family films.",
   "SELECT f.title FROM film f JOIN film_category fc ON fc.film_id = f.film_id JOIN category c "
   "ON c.category_id = fc.category_id WHERE c.name = 'Family'", "list", FILMS),
 Q("same column", "Get the name and email of the customers from Canada.",
   f"SELECT CONCAT(cu.first_name, ' ', cu.last_name), cu.email FROM {CUSTOMER_COUNTRY} WHERE co.country = 'Canada'",
   "rows", CUSTOMERS),
 Q("count filtered", "Determine the number of films that include Behind the Scenes content.",
   "SELECT COUNT(*) FROM film WHERE FIND_IN_SET('Behind the Scenes', special_features)", "number"),
 Q("count filtered", "How many movies were released in 2010?", "SELECT COUNT(*) FROM film WHERE release_year = 2010",
   "number"),
 Q("text", "List all movies featuring a robot.", "SELECT title FROM film WHERE description LIKE '%robot%'", "list", FILMS),
 Q("top by count", "Which is the most rented film?",
   "SELECT f.title FROM film f JOIN inventory i ON i.film_id = f.film_id JOIN rental r ON r.inventory_id = i.inventory_id "
   "GROUP BY f.film_id HAVING COUNT(*) = (SELECT MAX(n) FROM (SELECT COUNT(*) n FROM rental r JOIN inventory i "
   "ON i.inventory_id = r.inventory_id GROUP BY i.film_id) t)", "entity", FILMS),
 Q("duration", "List all films whose length is longer than the average of all the films.",
   "SELECT title FROM film WHERE length > (SELECT AVG(length) FROM film)", "list", FILMS),
 Q("decline", "Which films are most costly to replace and why?", "", "decline"),
 Q("average per group", "Which ratings have a mean film duration of over two hours?",
   "SELECT rating FROM film GROUP BY rating HAVING AVG(length) > 120", "list", "SELECT DISTINCT rating FROM film"),
 Q("duration", "Calculate the number of days that the company has been operating, counted from the first rental "
   "to the last one.", "SELECT DATEDIFF(MAX(rental_date), MIN(rental_date)) FROM rental", "number"),
 Q("same column", "Display for each store its store ID, city, and country.",
   "SELECT s.store_id, ci.city, co.country FROM store s JOIN address a ON a.address_id = s.address_id "
   "JOIN city ci ON ci.city_id = a.city_id JOIN country co ON co.country_id = ci.country_id", "rows"),
 # A store's business is what its copies were rented for, as the
 # database's own sales_by_store view counts it.
 Q("money", "How much business, in dollars, did each store bring in?",
   f"SELECT i.store_id, SUM(p.amount) FROM {PAY_FILM} GROUP BY i.store_id", "groups"),
 Q("average per group", "What is the average running time of films by category?",
   "SELECT c.name, AVG(f.length) FROM film f JOIN film_category fc ON fc.film_id = f.film_id "
   "JOIN category c ON c.category_id = fc.category_id GROUP BY c.category_id, c.name", "groups"),
 Q("per month", "Display the total amount rung up by each staff member in August of 2005.",
   "SELECT CONCAT(s.first_name, ' ', s.last_name), SUM(p.amount) FROM payment p JOIN staff s ON s.staff_id = p.staff_id "
   "WHERE p.payment_date >= '2005-08-01' AND p.payment_date < '2005-09-01' GROUP BY s.staff_id", "groups"),
 Q("money", "List the total paid by each customer, with the customers listed alphabetically by last name.",
   "SELECT CONCAT(c.first_name, ' ', c.last_name), SUM(p.amount) FROM customer c JOIN payment p "
   "ON p.customer_id = c.customer_id GROUP BY c.customer_id ORDER BY c.last_name", "groups"),
 Q("group", "List the last names of actors and the number of actors who have that last name, but only for names "
   "that are shared by at least two actors.",
   "SELECT last_name, COUNT(*) FROM actor GROUP BY last_name HAVING COUNT(*) >= 2", "groups"),
 Q("text", "Display the titles of movies starting with the letters K and Q whose language is English.",
   "SELECT f.title FROM film f JOIN language l ON l.language_id = f.language_id "
   "WHERE (f.title LIKE 'K%' OR f.title LIKE 'Q%') AND l.name = 'English'", "list", FILMS),
 Q("people", "In which cities and countries do the customers with initials JD live?",
   f"SELECT ci.city, co.country FROM {CUSTOMER_COUNTRY} WHERE cu.first_name LIKE 'J%' AND cu.last_name LIKE 'D%'",
   "rows", "SELECT city FROM city"),
 Q("decline", "Of all the actors with three types of awards, for what percentage of them do we carry a film?", "",
   "decline"),
 Q("top by money", "List the top five genres in gross revenue in descending order.",
   f"SELECT c.name, SUM(p.amount) s FROM {PAY_FILM} JOIN film_category fc ON fc.film_id = f.film_id "
   "JOIN category c ON c.category_id = fc.category_id GROUP BY c.category_id, c.name ORDER BY s DESC LIMIT 5",
   "rows", CATEGORIES),
 # Available: the store holds a copy that is not out on a rental.
 Q("yes or no", 'Is "Academy Dinosaur" available for rent from Store 1?',
   "SELECT IF(EXISTS (SELECT 1 FROM inventory i JOIN film f ON f.film_id = i.film_id WHERE f.title = 'ACADEMY DINOSAUR' "
   "AND i.store_id = 1 AND NOT EXISTS (SELECT 1 FROM rental r WHERE r.inventory_id = i.inventory_id "
   "AND r.return_date IS NULL)), 'yes', 'no')", "entity", YES_NO),
 # Due: the copies out on rental, each due its film's rental duration
 # (in days) after it was rented.
 Q("date", "When is 'Academy Dinosaur' due?",
   "SELECT DATE(r.rental_date + INTERVAL f.rental_duration DAY) FROM rental r JOIN inventory i "
   "ON i.inventory_id = r.inventory_id JOIN film f ON f.film_id = i.film_id "
   "WHERE f.title = 'ACADEMY DINOSAUR' AND r.return_date IS NULL", "rows"),
 Q("no match", "Find the film title of all inventory items that have never been rented.",
   "SELECT DISTINCT f.title FROM inventory i JOIN film f ON f.film_id = i.film_id "
   "WHERE NOT EXISTS (SELECT 1 FROM rental r WHERE r.inventory_id = i.inventory_id)", "list", FILMS),
 Q("no match", "Which actors have never appeared in a Horror film?",
   "SELECT CONCAT(a.first_name, ' ', a.last_name) FROM actor a WHERE NOT EXISTS (SELECT 1 FROM film_actor fa "
   "JOIN film_category fc ON fc.film_id = fa.film_id JOIN category c ON c.category_id = fc.category_id "
   "WHERE fa.actor_id = a.actor_id AND c.name = 'Horror')", "list", ACTORS),
 Q("top by money", "Which films were rented by the most profitable customer, i.e. the customer that has made the "
   "largest sum of payments?",
   "SELECT DISTINCT f.title FROM rental r JOIN inventory i ON i.inventory_id = r.inventory_id "
   "JOIN film f ON f.film_id = i.film_id WHERE r.customer_id = (SELECT customer_id FROM payment "
   "GROUP BY customer_id ORDER BY SUM(amount) DESC LIMIT 1)", "list", FILMS),
 Q("average per group", "Which customers spent more than the average of the total amount spent by each customer?",
   "SELECT CONCAT(c.first_name, ' ', c.last_name) FROM customer c JOIN payment p ON p.customer_id = c.customer_id "
   "GROUP BY c.customer_id HAVING SUM(p.amount) > (SELECT AVG(s) FROM (SELECT SUM(amount) s FROM payment "
   "GROUP BY customer_id) t)", "list", CUSTOMERS),
 Q("per month", "Get the number of monthly active customers.",
   "SELECT DATE_FORMAT(rental_date, '%Y-%m'), COUNT(DISTINCT customer_id) FROM rental "
   "GROUP BY DATE_FORMAT(rental_date, '%Y-%m')", "groups"),
 Q("money", "Please provide a list of customer names, their total lifetime rentals, and the sum of all payments you "
   "have collected from them, with the most valuable customers at the top of the list.",
   "SELECT CONCAT(c.first_name, ' ', c.last_name), (SELECT COUNT(*) FROM rental r WHERE r.customer_id = c.customer_id), "
   "(SELECT SUM(p.amount) FROM payment p WHERE p.customer_id = c.customer_id) s FROM customer c ORDER BY s DESC",
   "rows", CUSTOMERS),
]

OWN = [
 Q("count", "How many films are there?", "SELECT COUNT(*) FROM film", "number"),
 Q("duration", "How many films are longer than 2 hours?", "SELECT COUNT(*) FROM film WHERE length > 120", "number"),
 Q("duration", "How many films are shorter than one hour?", "SELECT COUNT(*) FROM film WHERE length < 60", "number"),
 Q("duration", "What is the average film length in hours?", "SELECT AVG(length) / 60 FROM film", "number"),
 Q("duration", "Which is the shortest film?",
   "SELECT title FROM film WHERE length = (SELECT MIN(length) FROM film)", "entity", FILMS),
 Q("price", "What is the average rental rate of a film?", "SELECT AVG(rental_rate) FROM film", "number"),
 Q("price", "How many films have a replacement cost above 25 dollars?",
   "SELECT COUNT(*) FROM film WHERE replacement_cost > 25", "number"),
 Q("money", "How much have customers spent in total?", "SELECT SUM(amount) FROM payment", "number"),
 Q("money", "How much did customers pay in July 2005?",
   "SELECT SUM(amount) FROM payment WHERE payment_date >= '2005-07-01' AND payment_date < '2005-08-01'", "number"),
 Q("per month", "What was the revenue per month?",
   "SELECT DATE_FORMAT(payment_date, '%Y-%m'), SUM(amount) FROM payment GROUP BY DATE_FORMAT(payment_date, '%Y-%m')",
   "groups"),
 Q("per month", "How many rentals were there per month in 2005?",
   "SELECT DATE_FORMAT(rental_date, '%Y-%m'), COUNT(*) FROM rental WHERE YEAR(rental_date) = 2005 "
   "GROUP BY DATE_FORMAT(rental_date, '%Y-%m')", "groups"),
 Q("share", "What percentage of films are rated R?",
   "SELECT 100 * SUM(rating = 'R') / COUNT(*) FROM film", "number"),
 Q("nth", "Which category has the second most films?",
   "SELECT name FROM (SELECT c.name, COUNT(*) n FROM category c JOIN film_category fc ON fc.category_id = c.category_id "
   "GROUP BY c.category_id, c.name) t WHERE n = (SELECT DISTINCT COUNT(*) FROM film_category GROUP BY category_id "
   "ORDER BY 1 DESC LIMIT 1 OFFSET 1)", "entity", CATEGORIES),
 Q("average per group", "What is the average total paid per customer?",
   "SELECT AVG(s) FROM (SELECT SUM(amount) s FROM payment GROUP BY customer_id) t", "number"),
 Q("average per group", "What is the average rental rate per rating?",
   "SELECT rating, AVG(rental_rate) FROM film GROUP BY rating", "groups"),
 Q("top by count", "Which five actors appear in the most films?",
   "SELECT CONCAT(a.first_name, ' ', a.last_name), COUNT(*) n FROM actor a JOIN film_actor fa ON fa.actor_id = a.actor_id "
   "GROUP BY a.actor_id HAVING n >= (SELECT COUNT(*) FROM film_actor GROUP BY actor_id ORDER BY 1 DESC LIMIT 1 OFFSET 4) "
   "ORDER BY n DESC", "rows", ACTORS),
 Q("people", "How many films has Penelope Guiness appeared in?",
   "SELECT COUNT(*) FROM film_actor fa JOIN actor a ON a.actor_id = fa.actor_id "
   "WHERE a.first_name = 'PENELOPE' AND a.last_name = 'GUINESS'", "number"),
 Q("people", "How many rentals has Mary Smith made?",
   "SELECT COUNT(*) FROM rental r JOIN customer c ON c.customer_id = r.customer_id "
   "WHERE c.first_name = 'MARY' AND c.last_name = 'SMITH'", "number"),
 Q("people", "How much has Eleanor paid in total?",
   "SELECT SUM(p.amount) FROM payment p JOIN customer c ON c.customer_id = p.customer_id WHERE c.first_name = 'ELEANOR'",
   "number"),
 Q("role", "Who manages store 2?",
   "SELECT CONCAT(s.first_name, ' ', s.last_name) FROM store st JOIN staff s ON s.staff_id = st.manager_staff_id "
   "WHERE st.store_id = 2", "entity", STAFF),
 Q("two dates", "How many rentals were returned in August 2005?",
   "SELECT COUNT(*) FROM rental WHERE return_date >= '2005-08-01' AND return_date < '2005-09-01'", "number"),
 Q("two dates", "How many rentals have not been returned?", "SELECT COUNT(*) FROM rental WHERE return_date IS NULL",
   "number"),
 Q("same column", "How many customers live in Canada?",
   f"SELECT COUNT(*) FROM {CUSTOMER_COUNTRY} WHERE co.country = 'Canada'", "number"),
 Q("same column", "Which country has the most customers?",
   f"SELECT co.country FROM {CUSTOMER_COUNTRY} GROUP BY co.country_id, co.country HAVING COUNT(*) = "
   f"(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM {CUSTOMER_COUNTRY} GROUP BY co.country_id) t)",
   "entity", "SELECT country FROM country"),
 Q("sold", "Which film brought in the most revenue?",
   f"SELECT f.title FROM {PAY_FILM} GROUP BY f.film_id HAVING SUM(p.amount) = (SELECT MAX(s) FROM "
   f"(SELECT SUM(p.amount) s FROM {PAY_FILM} GROUP BY f.film_id) t)", "entity", FILMS),
 Q("roles of keys", "How many films are in French?",
   "SELECT COUNT(*) FROM film f JOIN language l ON l.language_id = f.language_id WHERE l.name = 'French'", "number"),
 Q("decline", "What is the average age of our customers?", "", "decline"),
 Q("decline", "How many films won an Oscar?", "", "decline"),
 Q("decline", "How many rentals will there be next month?", "", "decline"),
 Q("decline", "What is the box office gross of Academy Dinosaur?", "", "decline"),
]

ROWS = PUBLIC + OWN
